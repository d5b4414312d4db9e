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
// serialise on one process-wide lock, so concurrent callers get distinct
// keystream draws.
//
//   ustring path = TmpNameGen::getInstance().getTmpPath("/var/tmp");
//   // "/var/tmp/" followed by e.g. "x7Kq-0_b"; nothing is created.
#pragma once

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
    TmpNameGen();
    ~TmpNameGen();

    unsigned char m_s_box[256];  // the RC4 permutation, carried across draws
    unsigned char m_buffer[6];   // the keystream bytes of the last draw
};
