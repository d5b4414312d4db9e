// The system database: the client's SQLite file of server connections
// (connection_table), sync sessions (session_table) and client-wide settings
// (system_table), reached through the all-static class SystemDB and the plain
// value records it fills. The top module of the library: it builds on the
// utilities (password obfuscation), the logger and ustring; only the command
// sits above it. db-internal.h holds the two statement shapes every
// operation is written in.
//
// Thread-safety: the process has at most one open connection, shared by all
// threads. Every operation holds SystemDB::m_dbMutex (not recursive) for the
// whole of its statement, so operations of different threads never
// interleave. initialize and destroy take no lock: call them while no other
// thread uses SystemDB (start-up, shut-down). The records are plain values;
// one record may not be used from two threads at once.
//
// Results: int status codes, 0 for success and -1 for failure, unless a
// declaration says otherwise; failures are also written to the log under the
// component "system_db_debug". Nothing here throws except std::bad_alloc.
// Every operation but initialize and destroy needs an open store; on a closed
// store it takes its ordinary failure path (its error entry, -1; list outputs
// left cleared) without touching SQLite.
//
//   if (SystemDB::initialize(ustring("/var/lib/app/system.db")) != 0) return -1;
//   std::list<SessionInfo> sessions;
//   if (SystemDB::getEnabledSession(sessions) == 0)
//       for (const SessionInfo& s : sessions) Sync(s.sync_folder, s.view_id);
//   SystemDB::destroy();
#pragma once

#include <pthread.h>

#include <cstdint>
#include <list>
#include <string>

#include "ustring.h"

struct sqlite3;
struct sqlite3_stmt;

// ---- session records ----

// Bits of session_table.attribute (SessionInfo::attribute), combined by "or".
enum SES_ATTR {
    SA_IS_HOME = 1,     // the home share; survives resetSession
    SA_USED = 2,        // set by setSessionAsUsed
    SA_ENABLE = 4,      // enabled: selected by getEnabledSession and the conflict test
    SA_DELETED = 8,     // marked deleted
    SA_READ_ONLY = 16,  // read-only; survives resetSession
};

// Permission mode of a session (session_table.perm_mode). Fixed to int: the
// column may hold any integer, and every one of them must be representable.
enum PERM_MODE : int {
    PERM_ALL = 0,
    PERM_DOMAIN = 1,
    PERM_EXEC_BIT = 2,
};

// Value sets of session_table.status and session_table.error.
namespace SYS_STATUS {
enum SessionStatus {
    SESSION_STAT_STOP = 0,
    SESSION_STAT_UPTODATE = 1,
    SESSION_STAT_SYNCING = 2,
    SESSION_STAT_PAUSE = 3,
    SESSION_STAT_UNKNOWN = 4,
};
enum SessionError {
    SESSION_ERR_OK = 0,
    SESSION_ERR_VIEW = -1,
    SESSION_ERR_PERMISSION = -2,
    SESSION_ERR_QUOTA = -3,
    SESSION_ERR_DISKFULL = -4,
    SESSION_ERR_LOCAL_DISKFULL = -5,
    SESSION_ERR_SYNCFOLDER_MISS = -6,
    SESSION_ERR_READ_ONLY = -7,
    SESSION_ERR_UNKNOWN = -8,
};
}  // namespace SYS_STATUS

// One session_table row. ctime, status and error have no field (status and
// error are read only by SystemDB::getSessionStatusAndErr). `enabled` is not
// stored and no operation fills it: enablement is the SA_ENABLE bit.
struct SessionInfo {
    uint64_t session_id = 0;
    ustring share_name;
    int attribute = 0;  // SES_ATTR bits
    uint64_t view_id = 0;
    int enabled = 0;
    int share_version = 0;
    ustring sync_folder;  // without a trailing separator; stored followed by "/"
    uint64_t conn_id = 0;
    PERM_MODE perm_mode = PERM_EXEC_BIT;  // note: the column's own default is PERM_ALL

    // True when every field is equal (texts byte for byte).
    bool operator==(const SessionInfo& other) const;
    bool operator!=(const SessionInfo& other) const { return !(*this == other); }

    // Set, clear and test single SES_ATTR bits of `attribute`; the other bits
    // stay. setShareSession clears SA_IS_HOME (an ordinary share).
    void setUsed();
    void setUnused();
    bool isUsed() const;
    void setEnabled();
    void setDisabled();
    bool isEnabled() const;
    bool isHome() const;
    void setShareSession();
    void setDeleted();
    void setNotDeleted();
    bool isDeleted() const;
    void setReadOnly();
    void setReadWrite();
    bool isReadOnly() const;

    void setPermMode(PERM_MODE mode);
    // "PERM_ALL", "PERM_DOMAIN", "PERM_EXEC_BIT", or "PERM_UNKNOWN(<n>)".
    ustring permModeToStr() const;
};

// ---- connection records ----
// Plain values: copies are deep, nothing points into the store. Comparison
// covers every member; toString() is for diagnostics and never shows a
// password or a session text, only whether one is set.

// Stored and returned as a plain int; the store never interprets it.
enum ConnectionMode {
    CM_UNKNOW = 0,
    CM_IP = 1,
    CM_DDNS = 2,
    CM_VAPORNET = 3,
};

// The server's package version. All zero on construction.
struct VersionInfo {
    VersionInfo();
    int major;
    int minor;
    long build_number;  // 64-bit; stored and read back whole

    bool operator==(const VersionInfo& other) const;
    bool operator!=(const VersionInfo& other) const { return !(*this == other); }
};

// The connection proper: one connection_table row less its proxy and tunnel.
// A new record has use_ssl true and user_is_admin false (the columns default
// to 0 and 1).
struct ConnectionInfo {
    ConnectionInfo();
    // Back to the initial values, except version_info, which is kept.
    void clear();

    bool operator==(const ConnectionInfo& other) const;
    bool operator!=(const ConnectionInfo& other) const { return !(*this == other); }
    // One line "ConnectionInfo{conn_id=1, c_mode=1, server_name='...', ...}";
    // the password and the session show as ******** or (empty).
    ustring toString() const;

    int c_mode;  // a ConnectionMode value
    ustring server_name;
    ustring server_ip;
    int server_port;
    ustring farlink_mode;
    ustring username;
    ustring password;  // never stored; readers leave it empty
    ustring orb_id;
    ustring session;
    int protocol_version;
    uint64_t conn_id;  // the row id
    ustring computer_name;
    int linked;
    bool use_ssl;
    bool ssl_allow_untrust;
    VersionInfo version_info;
    int status;
    int error;
    uint32_t user_uid;
    uint32_t user_gid;
    bool user_is_admin;
};

// Proxy settings of a connection, and the user's own proxy (system_table).
// Cleared: both flags false, texts empty, port 0.
struct ProxyInfo {
    ProxyInfo();
    void clear();

    bool operator==(const ProxyInfo& other) const;
    bool operator!=(const ProxyInfo& other) const { return !(*this == other); }
    // As ConnectionInfo::toString; the password is masked.
    std::string toString() const;

    bool use_proxy;
    bool use_sys_proxy;
    std::string proxy_ip;
    uint16_t proxy_port;
    std::string user_name;
    std::string password;  // stored only obfuscated (SyncPassEnc)
    std::string domain;
    std::string host;
};

// Tunnel settings of a connection. Cleared: false, empty, 0.
struct TunnelInfo {
    TunnelInfo();
    void clear();

    bool operator==(const TunnelInfo& other) const;
    bool operator!=(const TunnelInfo& other) const { return !(*this == other); }
    std::string toString() const;

    bool use_tunnel;
    std::string tunnel_ip;
    uint16_t tunnel_port;
};

// One whole connection_table row; default-constructed in the cleared state.
struct ConnectionEntry {
    ConnectionInfo connection_info;
    ProxyInfo proxy_info;
    TunnelInfo tunnel_info;

    bool operator==(const ConnectionEntry& other) const;
    bool operator!=(const ConnectionEntry& other) const { return !(*this == other); }
    std::string toString() const;
};

// ---- path lookup record ----

struct PathInfo {
    ConnectionEntry connection_entry;
    uint64_t view_id = 0;
    ustring relative_path;  // inside the sync folder, beginning with "/"
};

// ---- settings records ----

// The general user options of system_table. A new record holds what a new
// installation starts with: notifications, icon overlays and start at login
// on, the colour icon, sync mode 0, no folder to open.
struct GeneralOptions {
    GeneralOptions();

    bool enable_desktop_notification;
    bool enable_iconoverlay;
    bool enable_startup;
    bool use_bw_icon;
    int sync_mode;
    ustring open_folder;
};

// ---- the store ----

class SystemDB {
  public:
    // ---- store ----

    // Opens the database file at `system_db_path` (UTF-8), creating the file
    // and whatever is missing of the schema (three tables, three indexes, the
    // release_version row 13) in one transaction; an existing table or
    // version row is never altered. A new file is made owner-only (0600)
    // whatever the umask; an existing one keeps its mode, with an L_WARNING
    // entry when other users may read or write it. Neither applies to a name
    // starting with "file:", which SQLite may read as a URI. Sets a busy
    // timeout of 300 s. Returns 0, also when the store is already open (then
    // the argument is ignored and the first database stays in use), or -1
    // when the file cannot be opened or is not a usable database; the store
    // then stays closed.
    static int initialize(const ustring& system_db_path);

    // Closes the store if it is open; a no-op otherwise. The store may be
    // opened again afterwards.
    static void destroy();

    // ---- session queries ----

    // Fills `info` from the current row of `stmt`, which must be a full
    // session SELECT ("id, conn_id, share_name, attribute, ctime, view_id,
    // status, error, share_version, sync_folder, perm_mode"). NULL texts read
    // as empty; every trailing "/" and "\" is stripped from sync_folder;
    // `enabled` is not touched. Takes no lock (runs inside its caller's).
    // Always returns 0.
    static int GetSessionInfo(sqlite3_stmt* stmt, SessionInfo& info);

    // Replaces the list by every session whose attribute has SA_ENABLE, in
    // SQLite's row order. On a step failure the rows read so far stay.
    static int getEnabledSession(std::list<SessionInfo>& sinfo_list);

    // Replace the list by all sessions of the connection, respectively by
    // its valid ones (all but those marked deleted while neither enabled nor
    // used). Their sync_folder is the stored text less its last byte.
    static int getSessionListByConnectionID(std::list<SessionInfo>& sinfo_list, uint64_t conn_id);
    static int getValidSessionListByConnectionID(std::list<SessionInfo>& sinfo_list,
                                                 uint64_t conn_id);

    // Fill `session_info` from the session with that id, respectively the
    // first session whose stored folder is `local_folder` + "/" (exact,
    // case-sensitive). Return 0 also when nothing matches, leaving
    // `session_info` exactly as passed; -1 on failure.
    static int getSessionInfoBySessionID(uint64_t session_id, SessionInfo& session_info);
    static int getSessionInfoByLocalFolder(const ustring& local_folder, SessionInfo& session_info);

    // The stored folder, less its last byte, of the first session whose
    // share name equals `share_name` without regard to ASCII case. -1 when
    // there is none (with an error entry) or on failure.
    static int getSyncFolder(const ustring& share_name, ustring& sync_folder);

    // Share name and folder (less its last byte) of the session with that id;
    // a NULL column leaves its output as it was. 0 also when nothing matches
    // (outputs untouched); -1 on failure.
    static int getFolderInfoByRowID(uint64_t session_id, ustring& share_name, ustring& sync_folder);

    // Status and error of the session and of its connection. -1 when the
    // session or its connection row does not exist, or on failure; the
    // outputs are written only on success.
    static int getSessionStatusAndErr(uint64_t session_id, int& session_status, int& session_err,
                                      int& connection_status, int& connection_err);

    // The largest session id now present; 0 for an empty table or on failure.
    static uint64_t getMaxSessionId();

    // The perm_mode of the session; -1 when it does not exist or on failure.
    static int getPermSyncModeBySession(uint64_t session_id, PERM_MODE& mode);

    // SQL condition excluding the listed ids: "(id <> 7 AND id <> 9 AND 1)";
    // "(1)" for an empty list. Touches no database.
    static std::string sessionFiltertoSQL(const std::list<uint64_t>& session_list);

    // Sets `is_conflict` when an enabled session not in `filter_list` has a
    // folder equal to `syncfolder`, inside it, or containing it (comparison
    // of whole path components, ASCII letters without regard to case; "%"
    // and "_" match only themselves). 0, or -1 on failure with `is_conflict`
    // untouched.
    static int isSyncFolderConflict(const ustring& syncfolder, bool& is_conflict,
                                    const std::list<uint64_t>& filter_list);

    // ---- session updates ----

    // Single-column writes of one session row addressed by id; an id that
    // names no row changes nothing and still gives 0.
    static int setSessionStatus(uint64_t session_id, int status);  // a SessionStatus
    static int setSessionErr(uint64_t session_id, int err);        // a SessionError

    // Inserts a new row from the record (sync_folder stored followed by "/";
    // status and error 0; ctime the insertion time) and stores its fresh id
    // in session_id. On failure session_id is untouched.
    static int addNewSessionInfo(SessionInfo& session_info);

    // Rewrites attribute, sync_folder, perm_mode and share_version of the rows
    // with the record's share name (ASCII case ignored), view id and
    // connection, then stores the id of the first such row in session_id.
    // -1 when no row matches (nothing changed) or on failure.
    static int updateSessionInfo(SessionInfo& session_info);

    // Sets SA_USED.
    static int setSessionAsUsed(uint64_t session_id);

    // Appends to `removed_session_list` (not cleared first) the ids of the
    // rows with the record's share name and connection but another view id.
    static int checkRemovedView(const SessionInfo& session_info,
                                std::list<uint64_t>& removed_session_list);

    // Keeps only SA_IS_HOME and SA_READ_ONLY, sets status and error to 0, the
    // folder to "/" (reads back empty) and perm_mode to PERM_EXEC_BIT.
    static int resetSession(uint64_t session_id);
    static int deleteSession(uint64_t session_id);

    // Clears SA_ENABLE, status and error on every row.
    static int disableAllSession();

    // 1 when the connection's first "home" session with view id 0 is
    // enabled, 0 when it is not or there is none, -1 on failure.
    static int checkHomeSessionFor2197(uint64_t conn_id);

    // Sets view_id on every "home" row (any ASCII case) of the connection.
    static int updateHomeViewID(uint64_t view_id, uint64_t conn_id);

    // Clears SA_READ_ONLY on every row; failures are only logged.
    static void resetSessionPermission();

    static int setReadOnlyBySession(uint64_t session_id);   // sets SA_READ_ONLY
    static int setReadWriteBySession(uint64_t session_id);  // clears SA_READ_ONLY
    // Clears SA_ENABLE and sets status and error to 0.
    static int setDisableBySession(uint64_t session_id);
    static int setPermSyncModeBySession(uint64_t session_id, PERM_MODE mode);

    // ---- connection writes ----
    // The proxy password is stored only obfuscated (SyncPassEnc); the
    // connection password is never stored.

    // Inserts a new row (always a new id, even for an orb_id already
    // present) and stores its id in conn_info.conn_id. linked, status, error,
    // user_uid, user_gid and user_is_admin take the column defaults (0, 0, 0,
    // 0, 0, 1), whatever conn_info holds. conn_id is untouched on failure.
    static int setConnectionEntry(ConnectionInfo& conn_info, const ProxyInfo& proxy_info,
                                  const TunnelInfo& tunnel_info);

    // Rewrites every row whose orb_id equals conn_info.orb_id (all columns
    // but username, orb_id, linked, status, error and the user columns),
    // then stores the id of the first such row in conn_info.conn_id. -1
    // when no row has that orb_id (nothing changed) or on failure.
    static int updateConnectionEntry(ConnectionInfo& conn_info, const ProxyInfo& proxy_info,
                                     const TunnelInfo& tunnel_info);

    // Single-column writes of the row with that id. An id that names no row
    // changes nothing and still gives 0.
    static int setConnectionStatus(uint64_t connection_id, int status);
    static int setConnectionErr(uint64_t connection_id, int err);
    static int setLinkByConnection(uint64_t conn_id, int linked);
    static int setSSLEnableByConnID(uint64_t conn_id, bool enable);
    static int updateUserInfo(uint64_t conn_id, uint32_t uid, uint32_t gid, bool is_admin_group);
    static int setPackageVersion(uint64_t conn_id, const VersionInfo& version_info);

    // Deletes the connection row only; its sessions stay.
    static int deleteConnection(uint64_t connection_id);

    // Empties connection_table, session_table and system_table except its
    // release_version row. Not one transaction: on failure the deletions
    // before the failing one stand.
    static int clearSystemDB();

    // The integer value of the system_table key "linked" into `lnk`; 0 when
    // the key is absent. `lnk` is untouched on failure.
    static int checkLinked(int& lnk);

    // ---- connection queries and path lookup ----
    // Single-row lookups write their output only when the row is found; a
    // missing row gives -1. The proxy password comes back decoded; the
    // connection password comes back empty.

    // The connection with that id; respectively its ConnectionInfo part.
    static int getConnectionEntryByConnID(uint64_t conn_id, ConnectionEntry& conn_entry);
    static int getConnectionInfoById(uint64_t conn_id, ConnectionInfo& c_info);

    // The ConnectionInfo part of the first row whose orb_id equals `orb_id`
    // byte for byte.
    static int getConnectionInfoByORBID(const ustring& orb_id, ConnectionInfo& info);

    // Replace the list by every connection with linked = 1, respectively by
    // every connection, in SQLite's row order. An empty result is 0; on a
    // step failure the entries read so far stay and the result is -1.
    static int getLinkedConnectionEntryList(std::list<ConnectionEntry>& entry_list);
    static int getConnectionEntryList(std::list<ConnectionEntry>& entry_list);

    // Replaces out_list by the package versions, ascending and duplicates
    // kept, of the connections that are linked, whose status is not 2 and
    // whose error is none of `status_cond_list`. out_list is untouched on
    // failure.
    static int getPackageVersionList(const std::list<int>& status_cond_list,
                                     std::list<long>& out_list);

    // Build number, major and minor of one connection.
    static int getPackageVersion(uint64_t conn_id, VersionInfo& version_info);

    // Maps a local path to the first enabled session whose stored folder
    // (which ends in "/") is a prefix of it, ASCII letters compared without
    // regard to case and "%", "_" matching only themselves. Fills view_id,
    // relative_path (from the folder's "/" on, cut from `path` itself) and
    // the connection's identity, server, proxy and tunnel members; linked,
    // status, error, version_info, the user members and the connection
    // password keep what path_info held. Sessions with an empty stored folder
    // map nothing. -1 when no session matches or on failure (path_info
    // untouched).
    static int getPathInfoByPath(const ustring& path, PathInfo& path_info);

    // ---- system settings ----
    // Key/value rows of system_table; each write replaces its keys' rows. A
    // write of several keys is not one transaction: on failure the keys
    // written before the failing one stand.

    // Stores the name and writes it into every connection row as well.
    static int setComputername(const ustring& computer_name);

    // Writes the six general keys. The reader sets each field whose key is
    // present (flags true exactly when the stored integer is 1) and leaves
    // the others as the caller set them; on a step failure the fields read
    // so far stay.
    static int setGeneralOptions(const GeneralOptions& g_options);
    static int getGeneralOptions(GeneralOptions& g_options);

    // The 64-bit target client version. The reader gives -1 (version
    // untouched) when none was ever written.
    static int setTargetClientVersion(long version);
    static int getTargetClientVersion(long& version);

    static int setLanguageOptions(const ustring& language);

    // The user's own proxy. The password is stored obfuscated and never
    // logged. The reader sets each field whose key is present (port cut to
    // 16 bits; a stored password that is not valid Base64 reads as empty)
    // and leaves the others; a failed prepare, or a row with a NULL key,
    // resets p_info to the cleared ProxyInfo.
    static int setUserProxyInfo(const ProxyInfo& user_proxy_info);
    static int getUserProxyInfo(ProxyInfo& p_info);

    // The time of the last update query, as text. The reader gives the empty
    // text and 0 when none was written.
    static int setLastUpdateQueryTime(const ustring& last_query_time);
    static int getLastUpdateQueryTime(ustring& last_query_time);

    // The statement shapes shared by the sources of this module; defined only
    // in their internal header, so nothing outside them can use it.
    struct Store;

  private:
    // Never instantiated for use; these only trace their own calls.
    SystemDB();
    ~SystemDB();

    // Lock and unlock m_dbMutex; the results of the pthread calls.
    static int lock();
    static int unlock();

    // ---- connection queries (private helpers) ----

    // Positions of the 33-column connection select list.
    enum __tag_Connection_Table_SQL_Field_Type {
        CTABLE_ID = 0,
        CTABLE_CONN_MODE,
        CTABLE_SERVER_NAME,
        CTABLE_SERVER_IP,
        CTABLE_SERVER_PORT,
        CTABLE_FARLINK_MODE,
        CTABLE_USERNAME,
        CTABLE_ORB_ID,
        CTABLE_SESSION,
        CTABLE_PROTOCOL_VERSION,
        CTABLE_COMPUTER_NAME,
        CTABLE_USE_SSL,
        CTABLE_USE_PROXY,
        CTABLE_USE_SYSTEM_PROXY,
        CTABLE_PROXY_IP,
        CTABLE_PROXY_PORT,
        CTABLE_PROXY_USERNAME,
        CTABLE_PROXY_PASSWORD,
        CTABLE_PROXY_DOMAIN,
        CTABLE_PROXY_HOST,
        CTABLE_USE_TUNNEL,
        CTABLE_TUNNEL_IP,
        CTABLE_TUNNEL_PORT,
        CTABLE_LINKED,
        CTABLE_STATUS,
        CTABLE_ERROR,
        CTABLE_PACKAGE_VERSION,
        CTABLE_PACKAGE_MAJOR,
        CTABLE_PACKAGE_MINOR,
        CTABLE_SSL_ALLOW_UNTRUST,
        CTABLE_USER_UID,
        CTABLE_USER_GID,
        CTABLE_USER_IS_ADMIN,
    };

    static int GetConnectionEntry(sqlite3_stmt* stmt, ConnectionEntry& entry);
    static std::string connectionErrConditiontoSQL(const std::list<int>& cond_list);

    // ---- state ----

    static sqlite3* m_db;                 // open connection; null while closed
    static pthread_mutex_t m_dbMutex;     // serialises all use of m_db (not recursive)
    static std::string m_system_db_path;  // UTF-8 path of the open database; empty while closed
};
