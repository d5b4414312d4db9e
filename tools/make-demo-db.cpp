// make-demo-db: writes a system database through the support library, for
// the demo, the tests and the benchmarks of clean-working-dir.
//
//   make-demo-db SYSTEM_DB [enabled=FOLDER | disabled=FOLDER]...
//
// Creates (or opens) SYSTEM_DB with the client's schema, adds one connection
// and, for every argument in order, one session of that connection whose
// sync folder is FOLDER, enabled or not. Prints one line per session made.
// Exit status 0 on success, 1 when a write failed, 2 on a usage error.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "system-db.h"
#include "ustring.h"

namespace {

struct SessionArg {
    bool enabled;
    std::string folder;
};

int Usage() {
    std::fprintf(stderr, "usage: make-demo-db SYSTEM_DB [enabled=FOLDER | disabled=FOLDER]...\n");
    return 2;
}

// The share name is the folder's last component, so that the rows read back
// in a recognisable way; a folder without one (such as "/") gets "root".
std::string ShareName(const std::string& folder) {
    std::string trimmed = folder;
    while (!trimmed.empty() && trimmed.back() == '/') trimmed.pop_back();
    size_t slash = trimmed.rfind('/');
    std::string name = slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
    return name.empty() ? "root" : name;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 2) return Usage();
    std::vector<SessionArg> sessions;
    for (int i = 2; i < argc; ++i) {
        const char* a = argv[i];
        if (std::strncmp(a, "enabled=", 8) == 0)
            sessions.push_back({true, a + 8});
        else if (std::strncmp(a, "disabled=", 9) == 0)
            sessions.push_back({false, a + 9});
        else
            return Usage();
    }

    if (SystemDB::initialize(ustring(argv[1])) != 0) {
        std::fprintf(stderr, "make-demo-db: cannot open or create '%s'\n", argv[1]);
        return 1;
    }

    ConnectionInfo conn;
    conn.c_mode = CM_IP;
    conn.server_name = "demo-server";
    conn.server_ip = "127.0.0.1";
    conn.server_port = 5001;
    conn.username = "demo";
    conn.orb_id = "demo-orb";
    conn.computer_name = "demo-host";
    ProxyInfo proxy;
    TunnelInfo tunnel;
    if (SystemDB::setConnectionEntry(conn, proxy, tunnel) != 0) {
        std::fprintf(stderr, "make-demo-db: cannot add the connection\n");
        return 1;
    }

    for (const SessionArg& s : sessions) {
        SessionInfo info;
        info.conn_id = conn.conn_id;
        info.share_name = ShareName(s.folder);
        info.sync_folder = s.folder;
        info.attribute = s.enabled ? (SA_ENABLE | SA_USED) : SA_USED;
        info.perm_mode = PERM_ALL;
        if (SystemDB::addNewSessionInfo(info) != 0) {
            std::fprintf(stderr, "make-demo-db: cannot add the session for '%s'\n",
                         s.folder.c_str());
            return 1;
        }
        std::printf("session %" PRIu64 ": %-8s %s\n", info.session_id,
                    s.enabled ? "enabled" : "disabled", s.folder.c_str());
    }
    SystemDB::destroy();
    return 0;
}
