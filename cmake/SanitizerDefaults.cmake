# The settings of the sanitizer runtimes in a sanitized build, compiled into
# each executable (tests/sanitizers/SanitizerDefaults.cpp.in says why). Every
# sanitized process, whoever it runs as, writes its reports into the build's
# report directory; scripts/test fails a mode that leaves one there.
#   exitcode      a report ends the process with a status no test expects
#   disable_coredump=0  keeps the core limit the tests set: by default the
#                 runtimes force it to zero and the panic path reports no core
set(DC_SANITIZER_REPORTS ${CMAKE_BINARY_DIR}/sanitizer-reports)
file(MAKE_DIRECTORY ${DC_SANITIZER_REPORTS})
set(DC_ASAN_DEFAULTS "halt_on_error=1:exitcode=86:detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:disable_coredump=0:log_path=${DC_SANITIZER_REPORTS}/asan")
set(DC_UBSAN_DEFAULTS "halt_on_error=1:print_stacktrace=1:log_path=${DC_SANITIZER_REPORTS}/ubsan")
set(DC_TSAN_DEFAULTS "halt_on_error=1:exitcode=66:second_deadlock_stack=1:disable_coredump=0:log_path=${DC_SANITIZER_REPORTS}/tsan:suppressions=${PROJECT_SOURCE_DIR}/tests/sanitizers/tsan.supp")
configure_file(${PROJECT_SOURCE_DIR}/tests/sanitizers/SanitizerDefaults.cpp.in
  ${CMAKE_BINARY_DIR}/SanitizerDefaults.cpp @ONLY)

# Adds the settings to every executable defined in DIR and below.
function(dc_add_sanitizer_defaults dir)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "EXECUTABLE")
      target_sources(${target} PRIVATE ${CMAKE_BINARY_DIR}/SanitizerDefaults.cpp)
    endif()
  endforeach()
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(subdir IN LISTS subdirs)
    dc_add_sanitizer_defaults(${subdir})
  endforeach()
endfunction()
