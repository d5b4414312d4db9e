// A fresh store per case, log threshold reset; rows and records as one-line
// texts so that expectations read as tables.
#pragma once

#include <gtest/gtest.h>

#include <list>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "logger.h"
#include "system-db.h"
#include "test_support.h"
#include "utility.h"

namespace dbtest {

inline const ustring kComponent("system_db_debug");
inline const std::string kError = "[ERROR] system-db(N): ";
inline const std::string kDebug = "[DEBUG] system-db(N): ";

// What the store keeps for a password: its obfuscated text.
inline std::string Stored(const std::string& password) {
    std::string stored;
    SyncPassEnc(password, stored);
    return stored;
}

// Numbers as "1 2 3 ".
template <class... Number>
std::string Numbers(Number... numbers) {
    std::string text;
    for (const std::string& number : {std::to_string(numbers)...}) text += number + " ";
    return text;
}

// "id|conn|share|attribute|view|version|folder|perm|enabled\n".
inline std::string Text(const SessionInfo& session) {
    return std::to_string(session.session_id) + "|" + std::to_string(session.conn_id) + "|" +
           session.share_name.c_str_utf8() + "|" + std::to_string(session.attribute) + "|" +
           std::to_string(session.view_id) + "|" + std::to_string(session.share_version) + "|" +
           session.sync_folder.c_str_utf8() + "|" + std::to_string(session.perm_mode) + "|" +
           std::to_string(session.enabled) + "\n";
}
inline std::string Text(const std::list<SessionInfo>& sessions) {
    std::string out;
    for (const SessionInfo& session : sessions) out += Text(session);
    return out;
}

// Every row of the three tables, "<table> <first column>" ("session 1",
// "system language") mapped to its other columns, each as "name=value".
using Contents = std::map<std::string, std::vector<std::string>>;

// From `before` to `after`: "<row>: <column>=<new value> ..." for each
// changed row, "<row> added: ..." with every column but the time of
// insertion, and "<row> deleted".
inline std::string Changes(const Contents& before, const Contents& after) {
    std::string text;
    for (const auto& [row, columns] : after) {
        const auto old = before.find(row);
        const bool added = old == before.end();
        std::string changed;
        for (size_t column = 0; column < columns.size(); ++column) {
            if (added ? columns[column].rfind("ctime=", 0) != 0
                      : old->second[column] != columns[column])
                changed += " " + columns[column];
        }
        if (!changed.empty()) text += row + (added ? " added:" : ":") + changed + "\n";
    }
    for (const auto& [row, columns] : before)
        if (after.count(row) == 0) text += row + " deleted\n";
    return text;
}

// Standard error from construction on, timestamps and line numbers normalised.
struct Log {
    std::string Text() {
        return testutil::NormalizeLog(
            std::regex_replace(capture.Stop(), std::regex(testutil::kTimestampRe), ""),
            "system-db");
    }
    testutil::StderrCapture capture;
};

}  // namespace dbtest

class SystemDBFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        SystemDB::destroy();
        Logger::log_level.erase(dbtest::kComponent);
        ASSERT_EQ(Open(db_), 0);
    }
    void TearDown() override {
        Logger::log_level.erase(dbtest::kComponent);
        SystemDB::destroy();
    }
    static int Open(const std::string& file) { return SystemDB::initialize(ustring(file.c_str())); }
    void Plant(const std::string& sql) { testutil::ExecSql(db_, sql); }
    // The rows of a query on a separate connection: "a|b|c\n" each.
    std::string Dump(const std::string& sql) {
        std::string out;
        for (const auto& row : testutil::QueryRows(db_, sql)) {
            for (size_t column = 0; column < row.size(); ++column)
                out += (column == 0 ? "" : "|") + row[column];
            out += "\n";
        }
        return out;
    }
    void Verbose() { Logger::log_level[dbtest::kComponent] = Logger::L_DEBUG; }
    dbtest::Contents Read() {
        dbtest::Contents contents;
        for (std::string table : {"connection", "session", "system"}) {
            const auto names = testutil::QueryRows(
                db_, "SELECT name FROM pragma_table_info('" + table + "_table')");
            for (const auto& row : testutil::QueryRows(db_, "SELECT * FROM " + table + "_table")) {
                std::vector<std::string>& columns = contents[table + " " + row[0]];
                for (size_t column = 1; column < row.size(); ++column)
                    columns.push_back(names[column][0] + "=" + row[column]);
            }
        }
        return contents;
    }
    // Connections 1 and 2, which differ in every column, read back as a_ and b_.
    void PlantConnections() {
        Plant(
            "INSERT INTO connection_table VALUES (1, 2, 'nas''a', 'ip''a', 5001, 'relay', "
            "'O''Brien', 'orb''a', 'sess', 42, 'desk', 1, 0, 1, 'px''a', 3128, 'pu''a', '" +
            dbtest::Stored("pw'a") +
            "', 'dom''a', 'host''a', 0, 'tun''a', 443, 1, 6, -3, 5000000000, 7, 2, 0, "
            "4000000000, 1001, 0), (2, 3, 'nas-b', 'ip-b', 6001, 'direct', 'bob', 'orb-b', "
            "'sess-b', 43, 'lap', 0, 1, 0, 'px-b', 8080, 'pu-b', '" +
            dbtest::Stored("pw-b") +
            "', 'dom-b', 'host-b', 1, 'tun-b', 22, 0, 1, -4, 80000, 8, 1, 1, 5, 6, 1);");
        a_.connection_info.password = "never stored, so never read";
        ASSERT_EQ(SystemDB::getConnectionEntryByConnID(1, a_), 0);
        ASSERT_EQ(SystemDB::getConnectionEntryByConnID(2, b_), 0);
    }

    testutil::TempDir dir_;
    std::string db_ = dir_ / "system.db";
    ConnectionEntry a_, b_;
};
