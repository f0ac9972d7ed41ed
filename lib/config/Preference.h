// The process-wide preference store: six layered dictionaries searched in a
// fixed order (GLOBAL SETTINGS, NON PERSISTENT, USER PREFERENCES, USER
// DEFAULTS, HOST DEFAULTS, SITE DEFAULTS). Reads never fail: a missing
// store, file or entry yields the caller's default.
//
// Thread safety: every read takes the recursive lock "preferenceLock";
// initialisation and tear-down each publish with one atomic operation.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// Initialise with the fixed system paths. Both do nothing if a store exists.
void Preference_Init();             // user files allowed
void Preference_InitNoUserFiles();  // user files not allowed
void Preference_Exit();             // take the global pointer and free the store

// Typed reads by literal name; each returns the value or the default.
std::optional<std::string> Preference_GetString(const char* defaultValue, const char* name);
std::optional<std::string> Preference_GetPathName(const char* defaultValue, const char* name);
bool Preference_GetBool(bool defaultValue, const char* name);
int32_t Preference_GetInt32(int32_t defaultValue, const char* name);
int Preference_GetTriState(int defaultValue, const char* name);  // 0, 1 or -1 ("default")
int64_t Preference_GetInt64(int64_t defaultValue, const char* name);
double Preference_GetDouble(double defaultValue, const char* name);

// Which dictionary answers for the name ("HOST DEFAULTS /etc/tarvelo/config"
// and the like); empty when the caller's default applies.
std::string Preference_SourceOf(const char* name);

// Logs every dictionary under its heading line.
void Preference_Log();
