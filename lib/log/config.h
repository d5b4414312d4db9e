// Reader (and writer) of small "key = value" text files, such as the
// logger's level file. The syntax is strict: one assignment, blank line or
// "#" comment per line; a key is letters, digits, '-' and '_'; a value is
// either a run of printable bytes up to the first blank, or a text in single
// or double quotes. One malformed line makes a whole read fail and empties
// the map, so callers never act on a half-read file.
//
// Thread-safety: none; a Config object is used by one thread at a time.
// Distinct objects are independent.
//
// Usage:
//   Config cfg;
//   if (cfg.read("/etc/app/levels") == 0) level = cfg.get_int("file_op_debug");
//   cfg["default_component"] = "7";
//   cfg.write("/etc/app/levels");
#pragma once

#include <map>

#include "ustring.h"

class Config {
  public:
    // Results of parse().
    enum {
        OK = 0,       // the line holds a key and a value
        EMPTY = 1,    // blank line, comment, or nothing to store
        INVALID = 2,  // syntax error
    };

    using Store = std::map<ustring, ustring>;
    using iterator = Store::iterator;
    using const_iterator = Store::const_iterator;

    Config() = default;
    Config(const Config& other) = default;
    Config& operator=(const Config& other) = default;
    ~Config() = default;

    // Reads `path` at once; whether that succeeded is not reported here (call
    // read() to learn it). A failed read leaves the configuration empty.
    explicit Config(const ustring& path);

    // Merges the pairs of the file at `path` into the map, a later line
    // replacing an earlier value of the same key. Returns 0 once the whole
    // file was read (a read error mid-file counts as its end). Returns -1 when
    // `path` is empty, cannot be opened or is a directory (the map is then
    // unchanged), or when a line is malformed (the map is then emptied
    // entirely, including pairs from earlier reads). Lines are read in
    // pieces of at most 8191 bytes.
    int read(const ustring& path);

    // Replaces the file at `path` with every pair, one "key = value" line
    // each in key order, in a form that read() turns back into the same
    // pairs. Returns 0, or -1 when a pair cannot be expressed in the syntax
    // (a key with other than key characters, a value with control bytes,
    // with both quote characters and a blank, or a line too long to be read
    // whole) or the file cannot be written. The file is replaced whole (a
    // new file beside it, synced, renamed over it, keeping its permissions):
    // a failure at any point leaves the old file as it was, never a part of
    // the new text, and the new file beside it is removed.
    int write(const ustring& path) const;

    // Classifies the NUL-terminated line in `buf` (a buffer of `n` bytes;
    // scanning never passes it) and for OK sets `key` and `value`. Writes a
    // NUL after the key and after the value inside `buf` when they end
    // before its last byte. `key` and `value` are left alone unless OK.
    int parse(char* buf, int n, ustring& key, ustring& value);

    // Byte classes of the syntax.
    static bool is_key_char(unsigned char c);    // A-Z a-z 0-9 - _
    static bool is_value_char(unsigned char c);  // 32 and above, except 127
    static bool is_space(unsigned char c);       // 9..13 and 32

    // The value under `key`; a missing key is first inserted empty.
    ustring& operator[](const ustring& key);

    // The value under `key` (inserted empty when missing) read as a decimal
    // int the way an input stream extracts one: leading white space, an
    // optional sign, digits, the rest ignored; 0 when it is not a number,
    // the nearest int limit when it is out of range.
    int get_int(const ustring& key);

    // True when the value under `key` is "1", "true", "yes" or "on" (in any
    // case) or a non-zero integer; false otherwise, also when the key is
    // missing (which does not insert it).
    bool get_bool(const ustring& key) const;

    // Removes `key` if present.
    void unset(const ustring& key);

    iterator begin() { return store.begin(); }
    iterator end() { return store.end(); }
    const_iterator begin() const { return store.begin(); }
    const_iterator end() const { return store.end(); }

  private:
    Store store;
};
