// A fresh store per case, log threshold reset; rows and records as one-line
// texts so that expectations read as tables.
#pragma once

#include <gtest/gtest.h>

#include <list>
#include <regex>
#include <string>
#include <vector>

#include "logger.h"
#include "system-db.h"
#include "test_support.h"

namespace dbtest {

inline const ustring kComp("system_db_debug");
inline const std::string kErr = "[ERROR] system-db(N): ", kDebug = "[DEBUG] system-db(N): ";

// The rows of a query on a separate connection: "a|b|c\n" each.
inline std::string Dump(const std::string& db, const std::string& sql) {
    std::string out;
    for (const auto& row : testutil::QueryRows(db, sql)) {
        for (size_t i = 0; i < row.size(); ++i) out += (i ? "|" : "") + row[i];
        out += "\n";
    }
    return out;
}

// The cells of a table row written as "a|b|c" (or the rows of a table).
inline std::vector<std::string> Cells(const std::string& row, char sep = '|') {
    std::vector<std::string> cells(1);
    for (char c : row) c == sep ? void(cells.emplace_back()) : cells.back().push_back(c);
    return cells;
}

// Numbers as "1 2 3 ".
template <class... T>
std::string Nums(T... v) {
    std::string s;
    ((s += std::to_string(v) + " "), ...);
    return s;
}

// "id|conn|share|attribute|view|version|folder|perm|enabled\n".
inline std::string Str(const SessionInfo& s) {
    return std::to_string(s.session_id) + "|" + std::to_string(s.conn_id) + "|" +
           s.share_name.c_str_utf8() + "|" + std::to_string(s.attribute) + "|" +
           std::to_string(s.view_id) + "|" + std::to_string(s.share_version) + "|" +
           s.sync_folder.c_str_utf8() + "|" + std::to_string(s.perm_mode) + "|" +
           std::to_string(s.enabled) + "\n";
}
inline std::string Str(const std::list<SessionInfo>& l) {
    std::string out;
    for (const SessionInfo& s : l) out += Str(s);
    return out;
}

// Standard error from construction on, timestamps and line numbers normalised.
struct Log {
    std::string Text() {
        return testutil::NormalizeLog(
            std::regex_replace(cap.Stop(), std::regex(testutil::kTimestampRe), ""), "system-db");
    }
    testutil::StderrCapture cap;
};

}  // namespace dbtest

class SystemDBFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        SystemDB::destroy();
        Logger::log_level.erase(dbtest::kComp);
        ASSERT_EQ(Open(db_), 0);
    }
    void TearDown() override {
        Logger::log_level.erase(dbtest::kComp);
        SystemDB::destroy();
    }
    static int Open(const std::string& file) { return SystemDB::initialize(ustring(file.c_str())); }
    void Plant(const std::string& sql) { testutil::ExecSql(db_, sql); }
    std::string Dump(const std::string& sql) { return dbtest::Dump(db_, sql); }
    void Verbose() { Logger::log_level[dbtest::kComp] = Logger::L_DEBUG; }

    testutil::TempDir dir_;
    std::string db_ = dir_ / "system.db";
};
