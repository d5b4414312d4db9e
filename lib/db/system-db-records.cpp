// The methods of the plain records that travel to and from the store; none
// of them touches the database.
#include <sstream>
#include <string>

#include "system-db.h"

namespace {

// Diagnostics may say whether a secret (a password, a session text) is set,
// never what it is.
const char* Mask(bool empty) {
    return empty ? "(empty)" : "********";
}

}  // namespace

// ---- sessions ----

bool SessionInfo::operator==(const SessionInfo& o) const {
    return session_id == o.session_id && share_name == o.share_name && attribute == o.attribute &&
           view_id == o.view_id && enabled == o.enabled && share_version == o.share_version &&
           sync_folder == o.sync_folder && conn_id == o.conn_id && perm_mode == o.perm_mode;
}

void SessionInfo::setUsed() {
    attribute |= SA_USED;
}
void SessionInfo::setUnused() {
    attribute &= ~SA_USED;
}
bool SessionInfo::isUsed() const {
    return (attribute & SA_USED) != 0;
}
void SessionInfo::setEnabled() {
    attribute |= SA_ENABLE;
}
void SessionInfo::setDisabled() {
    attribute &= ~SA_ENABLE;
}
bool SessionInfo::isEnabled() const {
    return (attribute & SA_ENABLE) != 0;
}
bool SessionInfo::isHome() const {
    return (attribute & SA_IS_HOME) != 0;
}
void SessionInfo::setShareSession() {
    attribute &= ~SA_IS_HOME;
}
void SessionInfo::setDeleted() {
    attribute |= SA_DELETED;
}
void SessionInfo::setNotDeleted() {
    attribute &= ~SA_DELETED;
}
bool SessionInfo::isDeleted() const {
    return (attribute & SA_DELETED) != 0;
}
void SessionInfo::setReadOnly() {
    attribute |= SA_READ_ONLY;
}
void SessionInfo::setReadWrite() {
    attribute &= ~SA_READ_ONLY;
}
bool SessionInfo::isReadOnly() const {
    return (attribute & SA_READ_ONLY) != 0;
}
void SessionInfo::setPermMode(PERM_MODE mode) {
    perm_mode = mode;
}

ustring SessionInfo::permModeToStr() const {
    switch (perm_mode) {
        case PERM_ALL:
            return ustring("PERM_ALL");
        case PERM_DOMAIN:
            return ustring("PERM_DOMAIN");
        case PERM_EXEC_BIT:
            return ustring("PERM_EXEC_BIT");
    }
    return ustring("PERM_UNKNOWN(" + std::to_string(static_cast<int>(perm_mode)) + ")");
}

// ---- connections ----

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
      << "', password=" << Mask(password.empty()) << ", orb_id='" << orb_id
      << "', session=" << Mask(session.empty()) << ", protocol_version=" << protocol_version
      << ", computer_name='" << computer_name << "', linked=" << linked << ", use_ssl=" << use_ssl
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

// ---- settings ----

GeneralOptions::GeneralOptions()
    : enable_desktop_notification(true),
      enable_iconoverlay(true),
      enable_startup(true),
      use_bw_icon(false),
      sync_mode(0),
      open_folder() {}
