// brimvale-sysdb check: what in a system database, or around it, commonly
// keeps a folder from syncing or a store from being sound.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <list>
#include <set>

#include "file-op.h"
#include "sysdb-commands.h"
#include "sysdb-text.h"

namespace {

struct Finding {
    const char* severity;  // "error" or "warning"
    const char* kind;      // a stable name, listed in the man page
    std::string message;   // one plain sentence
    Json details = Json::object();
};

std::string Quoted(const std::string& text) {
    return "'" + text + "'";
}

std::string SessionName(const SessionRow& row) {
    return "session " + std::to_string(row.info.session_id) + " (" +
           Quoted(row.info.share_name.c_str()) + ")";
}

void CheckFile(const StoreView& view, const std::string& path, std::vector<Finding>& findings) {
    for (const std::string& table : view.missing_tables())
        findings.push_back({"warning",
                            "table-missing",
                            "the file has no table " + table + "; the client would add it empty",
                            {{"table", table}}});
    const std::vector<std::string>& report = view.quick_check();
    if (!(report.size() == 1 && report[0] == "ok"))
        findings.push_back(
            {"error",
             "quick-check",
             "PRAGMA quick_check reports: " + (report.empty() ? "nothing" : report[0]),
             {{"report", report}}});
    const std::string& library = view.library_release_version();
    const std::optional<std::string>& release = view.release_version();
    if (!release)
        findings.push_back({"warning",
                            "release-version",
                            "the file has no release_version; this library writes " + library,
                            {{"release_version", nullptr}, {"library", library}}});
    else if (*release != library)
        findings.push_back({"warning",
                            "release-version",
                            "release_version is " + *release + "; this library writes " + library,
                            {{"release_version", *release}, {"library", library}}});
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && (st.st_mode & (S_IRGRP | S_IROTH))) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", unsigned(st.st_mode & 07777));
        findings.push_back({"warning",
                            "store-readable",
                            std::string("group or others may read the store (mode ") + mode +
                                "), which holds proxy passwords in a form anyone can decode",
                            {{"mode", mode}}});
    }
}

// The sync folder of an enabled session: absolute, present, a directory.
void CheckFolder(const SessionRow& row, std::vector<Finding>& findings) {
    const std::string folder = row.info.sync_folder.c_str();
    const std::string who = "enabled " + SessionName(row);
    const Json details = {{"session", row.info.session_id}, {"path", folder}};
    struct stat st;
    if (folder.empty())
        findings.push_back({"error", "folder-empty",
                            who + ": its sync folder is empty (the root directory)", details});
    else if (folder[0] != '/')
        findings.push_back({"error", "folder-relative",
                            who + ": its sync folder " + Quoted(folder) + " is not absolute",
                            details});
    else if (stat(folder.c_str(), &st) != 0)
        findings.push_back({"error", "folder-missing",
                            who + ": its sync folder " + Quoted(folder) +
                                " cannot be reached: " + std::strerror(errno),
                            details});
    else if (!S_ISDIR(st.st_mode))
        findings.push_back({"error", "folder-not-directory",
                            who + ": its sync folder " + Quoted(folder) + " is not a directory",
                            details});
}

// A working directory that no enabled session uses any more.
void CheckLeftBehind(const SessionRow& row, const std::set<std::string>& enabled_folders,
                     std::vector<Finding>& findings) {
    if (row.info.isEnabled() || enabled_folders.count(row.info.sync_folder.c_str()) ||
        !WorkingDirExists(row.info))
        return;
    const std::string path = WorkingDirOf(row.info);
    FSRemoveSummary summary;
    summary.want_bytes = true;
    FSCount(ustring(path), &summary);
    uint64_t entries = summary.entries, bytes = summary.bytes;
    findings.push_back({"warning",
                        "working-dir-left",
                        SessionName(row) + " is not enabled, but its working directory " +
                            Quoted(path) + " remains: " + std::to_string(entries) + " entries, " +
                            std::to_string(bytes) + " bytes",
                        {{"session", row.info.session_id},
                         {"path", path},
                         {"entries", entries},
                         {"bytes", bytes}}});
}

// Pairs of enabled sessions whose folders overlap, by the client's own test:
// each one is tested against the other alone.
void CheckOverlaps(const std::vector<const SessionRow*>& enabled, std::vector<Finding>& findings) {
    for (size_t a = 0; a < enabled.size(); ++a) {
        for (size_t b = a + 1; b < enabled.size(); ++b) {
            std::list<uint64_t> all_but_b;
            for (const SessionRow* row : enabled)
                if (row != enabled[b]) all_but_b.push_back(row->info.session_id);
            bool overlap = false;
            if (SystemDB::isSyncFolderConflict(enabled[a]->info.sync_folder, overlap, all_but_b) !=
                    0 ||
                !overlap)
                continue;
            const SessionInfo& first = enabled[a]->info;
            const SessionInfo& second = enabled[b]->info;
            findings.push_back(
                {"error",
                 "folders-overlap",
                 "enabled " + SessionName(*enabled[a]) + " and " + SessionName(*enabled[b]) +
                     " have overlapping sync folders " + Quoted(first.sync_folder.c_str()) +
                     " and " + Quoted(second.sync_folder.c_str()),
                 {{"sessions", Json::array({first.session_id, second.session_id})},
                  {"paths",
                   Json::array({first.sync_folder.c_str(), second.sync_folder.c_str()})}}});
        }
    }
}

}  // namespace

int RunCheck(const StoreView& view, const Output& output) {
    std::vector<SessionRow> rows;
    std::list<ConnectionEntry> connections;
    std::string error;
    if (!view.Sessions(rows, error)) return Fail(error);
    if (SystemDB::getConnectionEntryList(connections) != 0)
        return Fail("cannot read the connections of " + Quoted(output.db_path));

    std::vector<Finding> findings;
    CheckFile(view, output.db_path, findings);
    std::set<uint64_t> connection_ids;
    for (const ConnectionEntry& entry : connections)
        connection_ids.insert(entry.connection_info.conn_id);
    std::set<std::string> enabled_folders;
    std::vector<const SessionRow*> enabled;
    for (const SessionRow& row : rows) {
        if (!row.info.isEnabled()) continue;
        enabled.push_back(&row);
        enabled_folders.insert(row.info.sync_folder.c_str());
    }
    for (const SessionRow& row : rows) {
        if (row.info.isEnabled()) CheckFolder(row, findings);
        if (!connection_ids.count(row.info.conn_id))
            findings.push_back({"error",
                                "connection-missing",
                                SessionName(row) + " belongs to connection " +
                                    std::to_string(row.info.conn_id) + ", which does not exist",
                                {{"session", row.info.session_id}, {"conn_id", row.info.conn_id}}});
        CheckLeftBehind(row, enabled_folders, findings);
    }
    CheckOverlaps(enabled, findings);

    if (output.json) {
        Json list = Json::array();
        for (const Finding& finding : findings) {
            Json item = {{"severity", finding.severity},
                         {"kind", finding.kind},
                         {"message", finding.message}};
            item.update(finding.details);
            list.push_back(item);
        }
        PrintJson({{"database", output.db_path}, {"findings", list}});
    } else {
        for (const Finding& finding : findings)
            std::cout << finding.severity << ": " << EscapeText(finding.message) << '\n';
        if (findings.empty()) std::cout << "no findings\n";
    }
    return findings.empty() ? 0 : 1;
}
