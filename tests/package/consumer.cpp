// A client of the installed library: opens an in-memory system database,
// which reaches every layer and so every dependency the static archive needs.
#include <cstdio>

#include "file-op.h"
#include "system-db.h"
#include "ustring.h"

int main() {
    if (SystemDB::initialize(ustring(":memory:")) != 0) return 1;
    std::list<SessionInfo> sessions;
    int rc = SystemDB::getEnabledSession(sessions);
    SystemDB::destroy();
    std::printf("sessions: %zu\n", sessions.size());
    return rc == 0 && sessions.empty() && !IsFileExist(ustring("/nonexistent/x"), false) ? 0 : 1;
}
