#include "src/session/SessionPaths.h"

SessionPaths SystemSessionPaths() {
    return {DC_DAEMON_PATH, "/var/tarvelo"};
}
