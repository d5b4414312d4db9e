// The operations that write and read connection_table.
#include <sqlite3.h>

#include <sstream>
#include <string>

#include "db-internal.h"
#include "system-db.h"
#include "utility.h"

// The 33 columns every whole-row query selects, in the order of the table
// and of the CTABLE_ positions.
#define CONNECTION_SELECT                                                                         \
    "SELECT id, conn_mode, server_name, server_ip, server_port, farlink_mode, username, orb_id, " \
    "session, protocol_version, computer_name, use_ssl, use_proxy, use_system_proxy, proxy_ip, "  \
    "proxy_port, proxy_username, proxy_password, proxy_domain, proxy_host, use_tunnel, "          \
    "tunnel_ip, "                                                                                 \
    "tunnel_port, linked, status, error, package_version, major, minor, ssl_allow_untrust, "      \
    "user_uid, user_gid, user_is_admin FROM connection_table"

// ---- writes ----

int SystemDB::setConnectionEntry(ConnectionInfo& c, const ProxyInfo& p, const TunnelInfo& t) {
    std::string stored_pass;
    SyncPassEnc(p.password, stored_pass);
    return Store::Insert(
        SYSDB_OP("setConnectionEntry").FormatFail(kInsertReplaceMprintfFailed),
        sqlite3_mprintf(
            "insert or replace into connection_table ( conn_mode, server_name, server_ip, "
            "server_port, farlink_mode, username,  orb_id, session, protocol_version, "
            "computer_name, use_ssl, package_version,  major, minor, ssl_allow_untrust, "
            "use_proxy, use_system_proxy, proxy_ip, proxy_port,  proxy_username, proxy_password, "
            "proxy_domain, proxy_host,  use_tunnel, tunnel_ip, tunnel_port )values (%d, '%q', "
            "'%q', %d, '%q', '%q',  '%q', '%q', %d, '%q', %d, %ld,  %d, %d, %d, %d, %d, '%q', "
            "%d,  '%q', '%q', '%q', '%q',  %d, '%q', %d);",
            c.c_mode, c.server_name.c_str_utf8(), c.server_ip.c_str_utf8(), c.server_port,
            c.farlink_mode.c_str_utf8(), c.username.c_str_utf8(), c.orb_id.c_str_utf8(),
            c.session.c_str_utf8(), c.protocol_version, c.computer_name.c_str_utf8(), c.use_ssl,
            c.version_info.build_number, c.version_info.major, c.version_info.minor,
            c.ssl_allow_untrust, p.use_proxy, p.use_sys_proxy, p.proxy_ip.c_str(), p.proxy_port,
            p.user_name.c_str(), stored_pass.c_str(), p.domain.c_str(), p.host.c_str(),
            t.use_tunnel, t.tunnel_ip.c_str(), t.tunnel_port),
        c.conn_id);
}

int SystemDB::updateConnectionEntry(ConnectionInfo& c, const ProxyInfo& p, const TunnelInfo& t) {
    std::string stored_pass;
    SyncPassEnc(p.password, stored_pass);
    const Store::Op op = SYSDB_OP("updateConnectionEntry").FormatFail(kInsertReplaceMprintfFailed);
    // One hold of the lock covers the update and the id query, so no other
    // thread's statement comes between them.
    Store::Lock lock;
    int rc = Store::Exec(
        lock, op,
        sqlite3_mprintf(
            "UPDATE connection_table SET  conn_mode = %d,  server_name = '%q',  server_ip = '%q',  "
            "server_port = %d,  farlink_mode = '%q',  session = '%q',  protocol_version = %d,  "
            "computer_name = '%q',  use_ssl = %d,  package_version = %ld,  major = %d,  minor = "
            "%d,  ssl_allow_untrust = %d,  use_proxy = %d,  use_system_proxy = %d,  proxy_ip = "
            "'%q',  proxy_port = %d,  proxy_username = '%q',  proxy_password = '%q',  "
            "proxy_domain = '%q',  proxy_host = '%q',  use_tunnel = %d,  tunnel_ip = '%q',  "
            "tunnel_port = %d  WHERE orb_id = '%q' ; ",
            c.c_mode, c.server_name.c_str_utf8(), c.server_ip.c_str_utf8(), c.server_port,
            c.farlink_mode.c_str_utf8(), c.session.c_str_utf8(), c.protocol_version,
            c.computer_name.c_str_utf8(), c.use_ssl, c.version_info.build_number,
            c.version_info.major, c.version_info.minor, c.ssl_allow_untrust, p.use_proxy,
            p.use_sys_proxy, p.proxy_ip.c_str(), p.proxy_port, p.user_name.c_str(),
            stored_pass.c_str(), p.domain.c_str(), p.host.c_str(), t.use_tunnel,
            t.tunnel_ip.c_str(), t.tunnel_port, c.orb_id.c_str_utf8()));
    if (rc != 0) return -1;
    return Store::ReadRow(
        lock, op,
        sqlite3_mprintf("select id from connection_table WHERE orb_id = '%q' ;",
                        c.orb_id.c_str_utf8()),
        [&](const Row& row) {
            c.conn_id = row.Id(0);
            SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): update conn id %llu\n", U64(c.conn_id));
        },
        [] {
            SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): cannnot get id for last update connection\n");
            return -1;
        });
}

int SystemDB::setConnectionStatus(uint64_t connection_id, int status) {
    return Store::Write(SYSDB_OP("setConnectionStatus").FormatFail(kMprintfFailedWide),
                        sqlite3_mprintf("update connection_table SET status = %d WHERE id = %llu;",
                                        status, U64(connection_id)));
}

int SystemDB::setConnectionErr(uint64_t connection_id, int err) {
    return Store::Write(SYSDB_OP("setConnectionErr").FormatFail(kMprintfFailedWide),
                        sqlite3_mprintf("update connection_table SET error = %d WHERE id = %llu;",
                                        err, U64(connection_id)));
}

int SystemDB::setLinkByConnection(uint64_t conn_id, int linked) {
    return Store::Write(SYSDB_OP("setLinkByConnection").FormatFail(kInsertMprintfFailed),
                        sqlite3_mprintf("UPDATE connection_table SET linked = %d WHERE id = %llu; ",
                                        linked, U64(conn_id)));
}

int SystemDB::setSSLEnableByConnID(uint64_t conn_id, bool enable) {
    return Store::Write(
        SYSDB_OP("setSSLEnableByConnID").FormatFail(kMprintfFailedShort).ExecFail(ExecFailed),
        sqlite3_mprintf("UPDATE connection_table SET use_ssl=%d WHERE id = %llu;", enable ? 1 : 0,
                        U64(conn_id)));
}

int SystemDB::updateUserInfo(uint64_t conn_id, uint32_t uid, uint32_t gid, bool is_admin_group) {
    // Fails without an entry when formatting fails; its execution failure
    // names the row, not SQLite's message.
    Store::Lock lock;
    return Store::Exec(
        lock, SYSDB_OP("updateUserInfo"),
        sqlite3_mprintf("UPDATE connection_table SET user_uid = %u, user_gid = %u, user_is_admin "
                        "= %u WHERE id = %llu\n",
                        uid, gid, is_admin_group ? 1u : 0u, U64(conn_id)),
        [conn_id](int rc, const char*) {
            SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): update user info of #%llu failed (%d)\n",
                      U64(conn_id), rc);
        });
}

int SystemDB::setPackageVersion(uint64_t conn_id, const VersionInfo& version_info) {
    return Store::Write(
        SYSDB_OP("setPackageVersion").FormatFail(kMprintfFailed),
        sqlite3_mprintf("UPDATE connection_table SET package_version = %ld, major = %d, minor = "
                        "%d WHERE id = %llu;",
                        version_info.build_number, version_info.major, version_info.minor,
                        U64(conn_id)));
}

int SystemDB::deleteConnection(uint64_t connection_id) {
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): deleteConnection. id:[%llu]\n", U64(connection_id));
    return Store::Write(
        SYSDB_OP("deleteConnection").FormatFail(kDeleteMprintfFailed),
        sqlite3_mprintf("delete from connection_table WHERE id = %llu;", U64(connection_id)));
}

int SystemDB::clearSystemDB() {
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): clear System DB \n");
    return Store::Write(
        SYSDB_OP("clearSystemDB").FormatFail(kInsertMprintfFailed),
        sqlite3_mprintf("delete from connection_table;delete from session_table;delete from "
                        "system_table Where key <> 'release_version' ;"));
}

int SystemDB::checkLinked(int& lnk) {
    return Store::ReadRow(
        SYSDB_OP("checkLinked")
            .StepFail(SYSDB_REPORT("[ERROR] system-db(%d): checkLinked: sqlite3_step: %s (%d)\n",
                                   msg, code)),
        "SELECT value FROM system_table WHERE key = 'linked';",
        [&](const Row& row) { lnk = row.Int(0); },
        [&] {
            lnk = 0;
            return 0;
        });
}

// ---- queries ----

void SystemDB::Store::DecodeConnection(const Row& row, bool (*flag)(int), ConnectionEntry& entry) {
    ConnectionInfo& c = entry.connection_info;
    ProxyInfo& p = entry.proxy_info;
    TunnelInfo& t = entry.tunnel_info;
    c.conn_id = row.Id(CTABLE_ID);
    c.c_mode = row.Int(CTABLE_CONN_MODE);
    c.server_name = row.Text(CTABLE_SERVER_NAME);
    c.server_ip = row.Text(CTABLE_SERVER_IP);
    c.server_port = row.Int(CTABLE_SERVER_PORT);
    c.farlink_mode = row.Text(CTABLE_FARLINK_MODE);
    c.username = row.Text(CTABLE_USERNAME);
    c.orb_id = row.Text(CTABLE_ORB_ID);
    c.session = row.Text(CTABLE_SESSION);
    c.protocol_version = row.Int(CTABLE_PROTOCOL_VERSION);
    c.computer_name = row.Text(CTABLE_COMPUTER_NAME);
    c.use_ssl = flag(row.Int(CTABLE_USE_SSL));
    c.ssl_allow_untrust = flag(row.Int(CTABLE_SSL_ALLOW_UNTRUST));
    p.use_proxy = flag(row.Int(CTABLE_USE_PROXY));
    p.use_sys_proxy = flag(row.Int(CTABLE_USE_SYSTEM_PROXY));
    p.proxy_ip = row.Bytes(CTABLE_PROXY_IP);
    p.proxy_port = static_cast<uint16_t>(row.Int(CTABLE_PROXY_PORT));
    p.user_name = row.Bytes(CTABLE_PROXY_USERNAME);
    SyncPassDec(row.Bytes(CTABLE_PROXY_PASSWORD), p.password);
    p.domain = row.Bytes(CTABLE_PROXY_DOMAIN);
    p.host = row.Bytes(CTABLE_PROXY_HOST);
    t.use_tunnel = flag(row.Int(CTABLE_USE_TUNNEL));
    t.tunnel_ip = row.Bytes(CTABLE_TUNNEL_IP);
    t.tunnel_port = static_cast<uint16_t>(row.Int(CTABLE_TUNNEL_PORT));
}

int SystemDB::GetConnectionEntry(sqlite3_stmt* stmt, ConnectionEntry& entry) {
    const Row row(stmt);
    Store::DecodeConnection(
        row, [](int v) { return v != 0; }, entry);
    ConnectionInfo& c = entry.connection_info;
    c.linked = row.Int(CTABLE_LINKED);
    c.status = row.Int(CTABLE_STATUS);
    c.error = row.Int(CTABLE_ERROR);
    // Build numbers may exceed the 32-bit range; read the whole value.
    c.version_info.build_number = static_cast<long>(row.Int64(CTABLE_PACKAGE_VERSION));
    c.version_info.major = row.Int(CTABLE_PACKAGE_MAJOR);
    c.version_info.minor = row.Int(CTABLE_PACKAGE_MINOR);
    c.user_uid = static_cast<uint32_t>(row.Int(CTABLE_USER_UID));
    c.user_gid = static_cast<uint32_t>(row.Int(CTABLE_USER_GID));
    c.user_is_admin = row.Int(CTABLE_USER_IS_ADMIN) != 0;
    c.password = "";
    return 0;
}

int SystemDB::getConnectionEntryByConnID(uint64_t conn_id, ConnectionEntry& conn_entry) {
    return Store::ReadRow(
        SYSDB_OP("getConnectionEntryByConnID").FormatFail(kInsertReplaceMprintfFailed),
        sqlite3_mprintf(CONNECTION_SELECT " WHERE id = %llu;", U64(conn_id)),
        [&](const Row& row) { GetConnectionEntry(row.stmt(), conn_entry); },
        [conn_id] {
            SYSDB_LOG(L_INFO, "[INFO] system-db(%d): connection %llu does not exit\n",
                      U64(conn_id));
            return -1;
        });
}

int SystemDB::getConnectionInfoById(uint64_t conn_id, ConnectionInfo& c_info) {
    ConnectionEntry entry;
    int rc = getConnectionEntryByConnID(conn_id, entry);
    if (rc == 0) c_info = entry.connection_info;
    return rc;
}

int SystemDB::getConnectionInfoByORBID(const ustring& orb_id, ConnectionInfo& info) {
    return Store::ReadRow(
        SYSDB_OP("getConnectionInfoByORBID").FormatFail(kMprintfFailedShort),
        sqlite3_mprintf(CONNECTION_SELECT " WHERE orb_id='%q';", orb_id.c_str_utf8()),
        [&](const Row& row) {
            ConnectionEntry entry;
            GetConnectionEntry(row.stmt(), entry);
            info = entry.connection_info;
        },
        [&] {
            SYSDB_LOG(L_INFO, "[INFO] system-db(%d): orb_id %s is not found\n", orb_id.c_str());
            return -1;
        });
}

int SystemDB::getLinkedConnectionEntryList(std::list<ConnectionEntry>& entry_list) {
    entry_list.clear();
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): getLinkedConnectionEntryList\n");
    return Store::ReadRows(SYSDB_OP("getLinkedConnectionEntryList"),
                           CONNECTION_SELECT " WHERE linked = 1;", [&](const Row& row) {
                               entry_list.emplace_back();
                               GetConnectionEntry(row.stmt(), entry_list.back());
                           });
}

int SystemDB::getConnectionEntryList(std::list<ConnectionEntry>& entry_list) {
    entry_list.clear();
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): getConnectionEntryList\n");
    return Store::ReadRows(SYSDB_OP("getConnectionEntryList"), CONNECTION_SELECT " ;",
                           [&](const Row& row) {
                               entry_list.emplace_back();
                               GetConnectionEntry(row.stmt(), entry_list.back());
                           });
}

std::string SystemDB::connectionErrConditiontoSQL(const std::list<int>& cond_list) {
    std::ostringstream cond;
    cond << "(";
    for (int value : cond_list) cond << "error <> " << value << " AND ";
    cond << "1)";
    return cond.str();
}

int SystemDB::getPackageVersionList(const std::list<int>& status_cond_list,
                                    std::list<long>& out_list) {
    std::list<long> found;
    std::string cond = connectionErrConditiontoSQL(status_cond_list);
    return Store::ReadRows(
        SYSDB_OP("getPackageVersionList").FormatFail(kInsertMprintfFailed),
        sqlite3_mprintf(
            "SELECT package_version FROM connection_table WHERE linked=1 AND status != 2 AND %s  "
            "ORDER BY package_version ASC;",
            cond.c_str()),
        [&](const Row& row) {
            long version = static_cast<long>(row.Int64(0));
            found.push_back(version);
            SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): version add %ld\n", version);
        },
        [&] {
            out_list.swap(found);
            return 0;
        });
}

int SystemDB::getPackageVersion(uint64_t conn_id, VersionInfo& version_info) {
    enum { kBuild, kMajor, kMinor };
    return Store::ReadRow(
        SYSDB_OP("getPackageVersion").FormatFail(kInsertMprintfFailed),
        sqlite3_mprintf("SELECT package_version,major,minor from connection_table WHERE id = %llu;",
                        U64(conn_id)),
        [&](const Row& row) {
            version_info.build_number = static_cast<long>(row.Int64(kBuild));
            version_info.major = row.Int(kMajor);
            version_info.minor = row.Int(kMinor);
            SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): package build number: [%ld]\n",
                      version_info.build_number);
            SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): package major: [%d]\n", version_info.major);
            SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): package minor: [%d]\n", version_info.minor);
        },
        [conn_id] {
            SYSDB_LOG(L_ERR,
                      "[ERROR] system-db(%d): cannnot get package_version for conn_id [%llu].\n",
                      U64(conn_id));
            return -1;
        });
}
