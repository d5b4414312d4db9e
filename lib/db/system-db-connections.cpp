// Connection records and the operations that write and read connection_table.
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

namespace {

// Diagnostics may say whether a password is set, never what it is.
const char* Mask(bool empty) {
    return empty ? "(empty)" : "********";
}

}  // namespace

// ---- records ----

VersionInfo::VersionInfo() : major(0), minor(0), build_number(0) {}

bool VersionInfo::operator==(const VersionInfo& o) const {
    return major == o.major && minor == o.minor && build_number == o.build_number;
}

ConnectionInfo::ConnectionInfo() : version_info() {
    clear();
}

void ConnectionInfo::clear() {
    c_mode = CM_UNKNOW;
    server_name = "";
    server_ip = "";
    server_port = 0;
    farlink_mode = "";
    username = "";
    password = "";
    orb_id = "";
    session = "";
    protocol_version = 0;
    conn_id = 0;
    computer_name = "";
    linked = 0;
    use_ssl = true;
    ssl_allow_untrust = false;
    status = 0;
    error = 0;
    user_uid = 0;
    user_gid = 0;
    user_is_admin = false;
}

bool ConnectionInfo::operator==(const ConnectionInfo& o) const {
    return c_mode == o.c_mode && server_name == o.server_name && server_ip == o.server_ip &&
           server_port == o.server_port && farlink_mode == o.farlink_mode &&
           username == o.username && password == o.password && orb_id == o.orb_id &&
           session == o.session && protocol_version == o.protocol_version && conn_id == o.conn_id &&
           computer_name == o.computer_name && linked == o.linked && use_ssl == o.use_ssl &&
           ssl_allow_untrust == o.ssl_allow_untrust && version_info == o.version_info &&
           status == o.status && error == o.error && user_uid == o.user_uid &&
           user_gid == o.user_gid && user_is_admin == o.user_is_admin;
}

ustring ConnectionInfo::toString() const {
    std::ostringstream s;
    s << "ConnectionInfo{conn_id=" << conn_id << ", c_mode=" << c_mode << ", server_name='"
      << server_name << "', server_ip='" << server_ip << "', server_port=" << server_port
      << ", farlink_mode='" << farlink_mode << "', username='" << username
      << "', password=" << Mask(password.empty()) << ", orb_id='" << orb_id << "', session='"
      << session << "', protocol_version=" << protocol_version << ", computer_name='"
      << computer_name << "', linked=" << linked << ", use_ssl=" << use_ssl
      << ", ssl_allow_untrust=" << ssl_allow_untrust << ", version=" << version_info.major << "."
      << version_info.minor << "." << version_info.build_number << ", status=" << status
      << ", error=" << error << ", user_uid=" << user_uid << ", user_gid=" << user_gid
      << ", user_is_admin=" << user_is_admin << "}";
    return ustring(s.str());
}

ProxyInfo::ProxyInfo() {
    clear();
}

void ProxyInfo::clear() {
    use_proxy = false;
    use_sys_proxy = false;
    proxy_ip.clear();
    proxy_port = 0;
    user_name.clear();
    password.clear();
    domain.clear();
    host.clear();
}

bool ProxyInfo::operator==(const ProxyInfo& o) const {
    return use_proxy == o.use_proxy && use_sys_proxy == o.use_sys_proxy && proxy_ip == o.proxy_ip &&
           proxy_port == o.proxy_port && user_name == o.user_name && password == o.password &&
           domain == o.domain && host == o.host;
}

std::string ProxyInfo::toString() const {
    std::ostringstream s;
    s << "ProxyInfo{use_proxy=" << use_proxy << ", use_sys_proxy=" << use_sys_proxy
      << ", proxy_ip='" << proxy_ip << "', proxy_port=" << proxy_port << ", user_name='"
      << user_name << "', password=" << Mask(password.empty()) << ", domain='" << domain
      << "', host='" << host << "'}";
    return s.str();
}

TunnelInfo::TunnelInfo() {
    clear();
}

void TunnelInfo::clear() {
    use_tunnel = false;
    tunnel_ip.clear();
    tunnel_port = 0;
}

bool TunnelInfo::operator==(const TunnelInfo& o) const {
    return use_tunnel == o.use_tunnel && tunnel_ip == o.tunnel_ip && tunnel_port == o.tunnel_port;
}

std::string TunnelInfo::toString() const {
    std::ostringstream s;
    s << "TunnelInfo{use_tunnel=" << use_tunnel << ", tunnel_ip='" << tunnel_ip
      << "', tunnel_port=" << tunnel_port << "}";
    return s.str();
}

bool ConnectionEntry::operator==(const ConnectionEntry& o) const {
    return connection_info == o.connection_info && proxy_info == o.proxy_info &&
           tunnel_info == o.tunnel_info;
}

std::string ConnectionEntry::toString() const {
    return std::string("ConnectionEntry{") + connection_info.toString().c_str_utf8() + ", " +
           proxy_info.toString() + ", " + tunnel_info.toString() + "}";
}

// ---- writes ----

int SystemDB::setConnectionEntry(ConnectionInfo& conn_info, const ProxyInfo& proxy_info,
                                 const TunnelInfo& tunnel_info) {
    std::string clear_pass = proxy_info.password;
    std::string stored_pass;
    SyncPassEnc(clear_pass, stored_pass);

    const ConnectionInfo& c = conn_info;
    const ProxyInfo& p = proxy_info;
    const TunnelInfo& t = tunnel_info;
    return Store::Write(
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
        [] { SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): insert/replace sqlite3_mprintf failed.\n"); },
        [](int rc, const char* msg) {
            SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): setConnectionEntry fail ret = %d %s\n", rc,
                      msg);
        },
        [&] { conn_info.conn_id = static_cast<uint64_t>(sqlite3_last_insert_rowid(m_db)); });
}

int SystemDB::updateConnectionEntry(ConnectionInfo& conn_info, const ProxyInfo& proxy_info,
                                    const TunnelInfo& tunnel_info) {
    std::string clear_pass = proxy_info.password;
    std::string stored_pass;
    SyncPassEnc(clear_pass, stored_pass);

    const ConnectionInfo& c = conn_info;
    const ProxyInfo& p = proxy_info;
    const TunnelInfo& t = tunnel_info;
    Store::Lock lock;
    SqlText update(sqlite3_mprintf(
        "UPDATE connection_table SET  conn_mode = %d,  server_name = '%q',  server_ip = '%q',  "
        "server_port = %d,  farlink_mode = '%q',  session = '%q',  protocol_version = %d,  "
        "computer_name = '%q',  use_ssl = %d,  package_version = %ld,  major = %d,  minor = %d,  "
        "ssl_allow_untrust = %d,  use_proxy = %d,  use_system_proxy = %d,  proxy_ip = '%q',  "
        "proxy_port = %d,  proxy_username = '%q',  proxy_password = '%q',  proxy_domain = '%q',  "
        "proxy_host = '%q',  use_tunnel = %d,  tunnel_ip = '%q',  tunnel_port = %d  WHERE "
        "orb_id = '%q' ; ",
        c.c_mode, c.server_name.c_str_utf8(), c.server_ip.c_str_utf8(), c.server_port,
        c.farlink_mode.c_str_utf8(), c.session.c_str_utf8(), c.protocol_version,
        c.computer_name.c_str_utf8(), c.use_ssl, c.version_info.build_number, c.version_info.major,
        c.version_info.minor, c.ssl_allow_untrust, p.use_proxy, p.use_sys_proxy, p.proxy_ip.c_str(),
        p.proxy_port, p.user_name.c_str(), stored_pass.c_str(), p.domain.c_str(), p.host.c_str(),
        t.use_tunnel, t.tunnel_ip.c_str(), t.tunnel_port, c.orb_id.c_str_utf8()));
    if (!update) {
        SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): insert/replace sqlite3_mprintf failed.\n");
        return -1;
    }
    int rc = Store::Exec(lock, update.get(), [](int code, const char* msg) {
        SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): updateConnectionEntry fail ret = %d %s\n", code,
                  msg);
    });
    if (rc != 0) return -1;

    SqlText select(sqlite3_mprintf("select id from connection_table WHERE orb_id = '%q' ;",
                                   c.orb_id.c_str_utf8()));
    if (!select) {
        SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): insert/replace sqlite3_mprintf failed.\n");
        return -1;
    }
    return Store::Query(
        lock, select.get(),
        [](int code, const char* msg) {
            SYSDB_LOG(L_ERR,
                      "[ERROR] system-db(%d): updateConnectionEntry: sqlite3_prepare_v2: %s (%d)\n",
                      msg, code);
        },
        [&](sqlite3_stmt* st) {
            conn_info.conn_id = static_cast<uint64_t>(sqlite3_column_int64(st, 0));
            SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): update conn id %llu\n",
                      U64(conn_info.conn_id));
            return Step::Stop;
        },
        [] {
            SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): cannnot get id for last update connection\n");
            return -1;
        },
        SYSDB_STEP_FAILED);
}

int SystemDB::setConnectionStatus(uint64_t connection_id, int status) {
    return Store::Write(
        sqlite3_mprintf("update connection_table SET status = %d WHERE id = %llu;", status,
                        U64(connection_id)),
        [] { SYSDB_LOG(L_ERR, "[ERROR] system-db(%d):  sqlite3_mprintf failed.\n"); },
        [](int rc, const char* msg) {
            SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): setConnectionStatus fail ret = %d %s\n", rc,
                      msg);
        });
}

int SystemDB::setConnectionErr(uint64_t connection_id, int err) {
    return Store::Write(
        sqlite3_mprintf("update connection_table SET error = %d WHERE id = %llu;", err,
                        U64(connection_id)),
        [] { SYSDB_LOG(L_ERR, "[ERROR] system-db(%d):  sqlite3_mprintf failed.\n"); },
        [](int rc, const char* msg) {
            SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): setConnectionErr fail ret = %d %s\n", rc, msg);
        });
}

int SystemDB::setLinkByConnection(uint64_t conn_id, int linked) {
    return Store::Write(
        sqlite3_mprintf("UPDATE connection_table SET linked = %d WHERE id = %llu; ", linked,
                        U64(conn_id)),
        [] { SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): insert sqlite3_mprintf failed.\n"); },
        [](int rc, const char* msg) {
            SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): setLinkByConnection fail ret = %d %s\n", rc,
                      msg);
        });
}

int SystemDB::setSSLEnableByConnID(uint64_t conn_id, bool enable) {
    return Store::Write(
        sqlite3_mprintf("UPDATE connection_table SET use_ssl=%d WHERE id = %llu;", enable ? 1 : 0,
                        U64(conn_id)),
        [] { SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): sqlite3_mprintf failed\n"); },
        [](int rc, const char* msg) {
            SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): sqlite3_exec failed: ret = %d [%s]\n", rc,
                      msg);
        });
}

int SystemDB::updateUserInfo(uint64_t conn_id, uint32_t uid, uint32_t gid, bool is_admin_group) {
    return Store::Write(
        sqlite3_mprintf("UPDATE connection_table SET user_uid = %u, user_gid = %u, user_is_admin "
                        "= %u WHERE id = %llu\n",
                        uid, gid, is_admin_group ? 1u : 0u, U64(conn_id)),
        [] {},
        [conn_id](int rc, const char*) {
            SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): update user info of #%llu failed (%d)\n",
                      U64(conn_id), rc);
        });
}

int SystemDB::setPackageVersion(uint64_t conn_id, const VersionInfo& version_info) {
    return Store::Write(
        sqlite3_mprintf("UPDATE connection_table SET package_version = %ld, major = %d, minor = "
                        "%d WHERE id = %llu;",
                        version_info.build_number, version_info.major, version_info.minor,
                        U64(conn_id)),
        [] { SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): sqlite3_mprintf failed.\n"); },
        [](int rc, const char* msg) {
            SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): setPackageVersion fail ret = %d %s\n", rc,
                      msg);
        });
}

int SystemDB::deleteConnection(uint64_t connection_id) {
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): deleteConnection. id:[%llu]\n", U64(connection_id));
    return Store::Write(
        sqlite3_mprintf("delete from connection_table WHERE id = %llu;", U64(connection_id)),
        [] { SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): delete sqlite3_mprintf failed.\n"); },
        [](int rc, const char* msg) {
            SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): deleteConnection fail ret = %d %s\n", rc, msg);
        });
}

int SystemDB::clearSystemDB() {
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): clear System DB \n");
    return Store::Write(
        sqlite3_mprintf("delete from connection_table;delete from session_table;delete from "
                        "system_table Where key <> 'release_version' ;"),
        [] { SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): insert sqlite3_mprintf failed.\n"); },
        [](int rc, const char* msg) {
            SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): clearSystemDB fail ret = %d %s\n", rc, msg);
        });
}

int SystemDB::checkLinked(int& lnk) {
    return Store::Read(
        "SELECT value FROM system_table WHERE key = 'linked';",
        [](int rc, const char* msg) {
            SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): checkLinked: sqlite3_prepare_v2: %s (%d)\n",
                      msg, rc);
        },
        [&](sqlite3_stmt* st) {
            lnk = sqlite3_column_int(st, 0);
            return Step::Stop;
        },
        [&] {
            lnk = 0;
            return 0;
        },
        [](int rc, const char* msg) {
            SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): checkLinked: sqlite3_step: %s (%d)\n", msg,
                      rc);
        });
}

// ---- queries ----

int SystemDB::GetConnectionEntry(sqlite3_stmt* stmt, ConnectionEntry& entry) {
    ConnectionInfo& c = entry.connection_info;
    ProxyInfo& p = entry.proxy_info;
    TunnelInfo& t = entry.tunnel_info;
    c.conn_id = static_cast<uint64_t>(sqlite3_column_int64(stmt, CTABLE_ID));
    c.c_mode = sqlite3_column_int(stmt, CTABLE_CONN_MODE);
    c.server_name = ColumnText(stmt, CTABLE_SERVER_NAME);
    c.server_ip = ColumnText(stmt, CTABLE_SERVER_IP);
    c.server_port = sqlite3_column_int(stmt, CTABLE_SERVER_PORT);
    c.farlink_mode = ColumnText(stmt, CTABLE_FARLINK_MODE);
    c.username = ColumnText(stmt, CTABLE_USERNAME);
    c.orb_id = ColumnText(stmt, CTABLE_ORB_ID);
    c.session = ColumnText(stmt, CTABLE_SESSION);
    c.protocol_version = sqlite3_column_int(stmt, CTABLE_PROTOCOL_VERSION);
    c.computer_name = ColumnText(stmt, CTABLE_COMPUTER_NAME);
    c.use_ssl = sqlite3_column_int(stmt, CTABLE_USE_SSL) != 0;
    p.use_proxy = sqlite3_column_int(stmt, CTABLE_USE_PROXY) != 0;
    p.use_sys_proxy = sqlite3_column_int(stmt, CTABLE_USE_SYSTEM_PROXY) != 0;
    p.proxy_ip = ColumnBytes(stmt, CTABLE_PROXY_IP);
    p.proxy_port = static_cast<uint16_t>(sqlite3_column_int(stmt, CTABLE_PROXY_PORT));
    p.user_name = ColumnBytes(stmt, CTABLE_PROXY_USERNAME);
    std::string stored_pass = ColumnBytes(stmt, CTABLE_PROXY_PASSWORD);
    std::string clear_pass;
    SyncPassDec(stored_pass, clear_pass);
    p.password = clear_pass;
    p.domain = ColumnBytes(stmt, CTABLE_PROXY_DOMAIN);
    p.host = ColumnBytes(stmt, CTABLE_PROXY_HOST);
    t.use_tunnel = sqlite3_column_int(stmt, CTABLE_USE_TUNNEL) != 0;
    t.tunnel_ip = ColumnBytes(stmt, CTABLE_TUNNEL_IP);
    t.tunnel_port = static_cast<uint16_t>(sqlite3_column_int(stmt, CTABLE_TUNNEL_PORT));
    c.linked = sqlite3_column_int(stmt, CTABLE_LINKED);
    c.status = sqlite3_column_int(stmt, CTABLE_STATUS);
    c.error = sqlite3_column_int(stmt, CTABLE_ERROR);
    // Build numbers may exceed the 32-bit range; read the whole value.
    c.version_info.build_number =
        static_cast<long>(sqlite3_column_int64(stmt, CTABLE_PACKAGE_VERSION));
    c.version_info.major = sqlite3_column_int(stmt, CTABLE_PACKAGE_MAJOR);
    c.version_info.minor = sqlite3_column_int(stmt, CTABLE_PACKAGE_MINOR);
    c.ssl_allow_untrust = sqlite3_column_int(stmt, CTABLE_SSL_ALLOW_UNTRUST) != 0;
    c.user_uid = static_cast<uint32_t>(sqlite3_column_int(stmt, 30));
    c.user_gid = static_cast<uint32_t>(sqlite3_column_int(stmt, 31));
    c.user_is_admin = sqlite3_column_int(stmt, 32) != 0;
    c.password = "";
    return 0;
}

int SystemDB::getConnectionEntryByConnID(uint64_t conn_id, ConnectionEntry& conn_entry) {
    SqlText sql(sqlite3_mprintf(CONNECTION_SELECT " WHERE id = %llu;", U64(conn_id)));
    if (!sql) {
        SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): insert/replace sqlite3_mprintf failed.\n");
        return -1;
    }
    return Store::Read(
        sql.get(),
        [](int rc, const char* msg) {
            SYSDB_LOG(L_ERR,
                      "[ERROR] system-db(%d): getConnectionEntryByConnID: sqlite3_prepare_v2: %s "
                      "(%d)\n",
                      msg, rc);
        },
        [&](sqlite3_stmt* st) {
            GetConnectionEntry(st, conn_entry);
            return Step::Stop;
        },
        [conn_id] {
            SYSDB_LOG(L_INFO, "[INFO] system-db(%d): connection %llu does not exit\n",
                      U64(conn_id));
            return -1;
        },
        SYSDB_STEP_FAILED);
}

int SystemDB::getConnectionInfoById(uint64_t conn_id, ConnectionInfo& c_info) {
    ConnectionEntry entry;
    int rc = getConnectionEntryByConnID(conn_id, entry);
    if (rc == 0) c_info = entry.connection_info;
    return rc;
}

int SystemDB::getConnectionInfoByORBID(const ustring& orb_id, ConnectionInfo& info) {
    ConnectionEntry entry;
    SqlText sql(sqlite3_mprintf(CONNECTION_SELECT " WHERE orb_id='%q';", orb_id.c_str_utf8()));
    if (!sql) {
        SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): sqlite3_mprintf failed\n");
        return -1;
    }
    return Store::Read(
        sql.get(),
        [](int rc, const char* msg) {
            SYSDB_LOG(L_ERR,
                      "[ERROR] system-db(%d): getConnectionInfoByORBID: sqlite3_prepare_v2: %s "
                      "(%d)\n",
                      msg, rc);
        },
        [&](sqlite3_stmt* st) {
            GetConnectionEntry(st, entry);
            info = entry.connection_info;
            return Step::Stop;
        },
        [&] {
            SYSDB_LOG(L_INFO, "[INFO] system-db(%d): orb_id %s is not found\n", orb_id.c_str());
            return -1;
        },
        SYSDB_STEP_FAILED);
}

namespace {

// Both lists: every row of `sql` appended as a whole entry.
template <class PrepareFail>
int ReadConnectionRows(const char* sql, std::list<ConnectionEntry>& entry_list,
                       PrepareFail&& prepare_fail, int (*decode)(sqlite3_stmt*, ConnectionEntry&)) {
    return SystemDB::Store::Read(
        sql, prepare_fail,
        [&](sqlite3_stmt* st) {
            entry_list.emplace_back();
            decode(st, entry_list.back());
            return Step::Next;
        },
        [] { return 0; }, SYSDB_STEP_FAILED);
}

}  // namespace

int SystemDB::getLinkedConnectionEntryList(std::list<ConnectionEntry>& entry_list) {
    entry_list.clear();
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): getLinkedConnectionEntryList\n");
    return ReadConnectionRows(
        CONNECTION_SELECT " WHERE linked = 1;", entry_list,
        [](int rc, const char* msg) {
            SYSDB_LOG(L_ERR,
                      "[ERROR] system-db(%d): getLinkedConnectionEntryList: sqlite3_prepare_v2: %s "
                      "(%d)\n",
                      msg, rc);
        },
        &GetConnectionEntry);
}

int SystemDB::getConnectionEntryList(std::list<ConnectionEntry>& entry_list) {
    entry_list.clear();
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): getConnectionEntryList\n");
    return ReadConnectionRows(
        CONNECTION_SELECT " ;", entry_list,
        [](int rc, const char* msg) {
            SYSDB_LOG(
                L_ERR,
                "[ERROR] system-db(%d): getConnectionEntryList: sqlite3_prepare_v2: %s (%d)\n", msg,
                rc);
        },
        &GetConnectionEntry);
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
    SqlText sql(sqlite3_mprintf(
        "SELECT package_version FROM connection_table WHERE linked=1 AND status != 2 AND %s  "
        "ORDER BY package_version ASC;",
        cond.c_str()));
    if (!sql) {
        SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): insert sqlite3_mprintf failed.\n");
        return -1;
    }
    return Store::Read(
        sql.get(),
        [](int rc, const char* msg) {
            SYSDB_LOG(L_ERR,
                      "[ERROR] system-db(%d): getPackageVersionList: sqlite3_prepare_v2: %s (%d)\n",
                      msg, rc);
        },
        [&](sqlite3_stmt* st) {
            long version = static_cast<long>(sqlite3_column_int64(st, 0));
            found.push_back(version);
            SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): version add %ld\n", version);
            return Step::Next;
        },
        [&] {
            out_list.swap(found);
            return 0;
        },
        SYSDB_STEP_FAILED);
}

int SystemDB::getPackageVersion(uint64_t conn_id, VersionInfo& version_info) {
    SqlText sql(sqlite3_mprintf(
        "SELECT package_version,major,minor from connection_table WHERE id = %llu;", U64(conn_id)));
    if (!sql) {
        SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): insert sqlite3_mprintf failed.\n");
        return -1;
    }
    return Store::Read(
        sql.get(),
        [](int rc, const char* msg) {
            SYSDB_LOG(L_ERR,
                      "[ERROR] system-db(%d): getPackageVersion: sqlite3_prepare_v2: %s (%d)\n",
                      msg, rc);
        },
        [&](sqlite3_stmt* st) {
            version_info.build_number = static_cast<long>(sqlite3_column_int64(st, 0));
            version_info.major = sqlite3_column_int(st, 1);
            version_info.minor = sqlite3_column_int(st, 2);
            SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): package build number: [%ld]\n",
                      version_info.build_number);
            SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): package major: [%d]\n", version_info.major);
            SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): package minor: [%d]\n", version_info.minor);
            return Step::Stop;
        },
        [conn_id] {
            SYSDB_LOG(L_ERR,
                      "[ERROR] system-db(%d): cannnot get package_version for conn_id [%llu].\n",
                      U64(conn_id));
            return -1;
        },
        SYSDB_STEP_FAILED);
}
