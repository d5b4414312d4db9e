// Fixture of the SystemDB tests: a fresh store in a private directory, the
// process-wide store and the component's log threshold reset around each
// case, and direct SQL on the same file for planting rows.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "logger.h"
#include "system-db.h"
#include "test_support.h"

// A session record with every stored field given.
inline SessionInfo MakeSession(uint64_t id, const char* share, int attr, uint64_t view, int version,
                               const char* folder, uint64_t conn, PERM_MODE perm) {
    SessionInfo s;
    s.session_id = id;
    s.share_name = share;
    s.attribute = attr;
    s.view_id = view;
    s.share_version = version;
    s.sync_folder = folder;
    s.conn_id = conn;
    s.perm_mode = perm;
    return s;
}

class SystemDBFixture : public ::testing::Test {
  protected:
    static const ustring& Component() {
        static const ustring comp("system_db_debug");
        return comp;
    }
    void SetUp() override {
        SystemDB::destroy();
        Logger::log_level.erase(Component());
        db_ = dir_ / "system.db";
        ASSERT_EQ(SystemDB::initialize(ustring(db_.c_str())), 0);
    }
    void TearDown() override {
        Logger::log_level.erase(Component());
        SystemDB::destroy();
    }
    void Plant(const std::string& sql) { testutil::ExecSql(db_, sql); }

    testutil::TempDir dir_;
    std::string db_;
};
