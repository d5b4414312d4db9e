// The four commands of brimvale-sysdb, each printing one report of a store
// opened read-only (StoreView) as text or as one JSON document.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "sysdb-store.h"

using Json = nlohmann::ordered_json;

// How a report is written.
struct Output {
    std::string db_path;  // as given on the command line
    bool json = false;
    bool aligned = false;  // text for a reader at a terminal
};

// The name of the hidden working directory inside a sync folder.
extern const char kWorkingDirName[];

// Each returns the exit status: 0, or 2 with one line on standard error when
// the records cannot be read; check returns 1 when it found something.
int ShowSessions(const StoreView& view, const Output& output);
int ShowConnections(const StoreView& view, const Output& output);
int ShowSettings(const StoreView& view, const Output& output);
int RunCheck(const StoreView& view, const Output& output);

// The shared tail of every command: the document with "database" first.
void PrintJson(Json document);
// "brimvale-sysdb: <message>" on standard error; returns 2.
int Fail(const std::string& message);
std::string YesNo(bool value);
// The session's working directory, and whether anything is there (a link
// counts); false for a folder that is not absolute, never looked up.
std::string WorkingDirOf(const SessionInfo& session);
bool WorkingDirExists(const SessionInfo& session);
