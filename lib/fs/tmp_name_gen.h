// Generator of short random names for temporary paths.
//
// One process-wide instance hands out 8-character names drawn from a
// 64-character alphabet that is safe in file names (digits, letters, '-' and
// '_'). The randomness is an RC4 keystream keyed with the wall-clock time of
// the instance's creation: names are unpredictable enough to avoid clashes
// between clients, not secrets. Two processes that create their instance in
// the same microsecond produce the same sequence.
//
// Thread-safety: getInstance() may be called from any thread (one-time
// initialisation of a function-local static); getTmpName() and getTmpPath()
// serialise on m_lock, so concurrent callers get distinct keystream draws.
#pragma once

#include <pthread.h>

#include <cstddef>

#include "ustring.h"

class TmpNameGen {
  public:
    // The single instance, created on first use and kept until exit.
    static TmpNameGen& getInstance();

    // A new name of exactly 8 characters from
    // "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_".
    // Never fails; no "/" or "." can occur.
    ustring getTmpName();

    // prefix + "/" + getTmpName(). The prefix is taken as it stands: a
    // trailing separator is doubled, and nothing checks that the path is free.
    ustring getTmpPath(const ustring& prefix);

    TmpNameGen(const TmpNameGen&) = delete;
    TmpNameGen& operator=(const TmpNameGen&) = delete;

  private:
    // Lets the unit tests drive the keystream from a known permutation
    // without widening the public interface.
    friend class TmpNameGenPeer;

    TmpNameGen();
    ~TmpNameGen();

    // Writes "<seconds>-<microseconds>" of the current time into key,
    // NUL-terminated within len bytes; the rest of the buffer is left as is.
    void get_key(unsigned char* key, size_t len);
    // RC4 key schedule over all 256 key bytes (the key is not repeated by its
    // length). A key whose first byte is 0 is replaced by rand() bytes.
    void rc4_init(unsigned char* S, unsigned char* key);
    // length keystream bytes into buffer; i and j restart at 0 on every call
    // while S carries over. Does nothing when length <= 0.
    void rc4_randomize(unsigned char* S, unsigned char* buffer, int length);

    static void lock();
    static void unlock();

    static pthread_mutex_t m_lock;
    unsigned char m_s_box[256];
    unsigned char m_key[256];
    unsigned char m_buffer[6];
};
