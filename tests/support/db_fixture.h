// A fresh store per case, log threshold reset; rows and records as one-line
// texts so that expectations read as tables.
#pragma once

#include <gtest/gtest.h>

#include <list>
#include <regex>
#include <string>

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

// The rows of a query on a separate connection: "a|b|c\n" each.
inline std::string Dump(const std::string& db, const std::string& sql) {
    std::string out;
    for (const auto& row : testutil::QueryRows(db, sql)) {
        for (size_t column = 0; column < row.size(); ++column)
            out += (column == 0 ? "" : "|") + row[column];
        out += "\n";
    }
    return out;
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
    std::string Dump(const std::string& sql) { return dbtest::Dump(db_, sql); }
    void Verbose() { Logger::log_level[dbtest::kComponent] = Logger::L_DEBUG; }

    testutil::TempDir dir_;
    std::string db_ = dir_ / "system.db";
};
