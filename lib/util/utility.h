// Utilities of the support library: password obfuscation and its Base64
// codec, scoped and temporary files, the critical-section guard, and host
// name, user name and text conversion helpers. They log through the
// "utility_debug" component. Module lib/util/, above fs; util-internal.h
// holds its log macro.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <cstdint>
#include <string>

#include "ustring.h"

// ---- password obfuscation and Base64 ----
// Stored passwords are Blowfish CFB-64 under a fixed 4-byte key with a zero
// vector, then Base64 (RFC 4648 alphabet, '=' padding, one line). This is
// obfuscation against casual reading of the database, not protection: the
// key ships with the program. All functions are pure and thread-safe.

// The Blowfish key: its 4 bytes in memory order (59 1E 7C 3A on x86-64).
// Changing it makes every stored password unreadable.
extern const uint32_t g_encChalleng;

// Obfuscates `in` (every byte, NUL included) into `out`: 4 * ceil(n / 3)
// Base64 characters for n bytes; the empty password gives the empty text.
void SyncPassEnc(const std::string& in, std::string& out);

// Reverses SyncPassEnc. `out` is cut at the first NUL of the clear text, and
// is empty when `in` is not strict Base64 (see EncBase64Dec).
void SyncPassDec(const std::string& in, std::string& out);

// Base64 of the whole buffer, one line, NUL-terminated, allocated with new[]
// (the caller delete[]s it). Null when BufferStart is null.
char* SzBase64EncBuffer(unsigned char* BufferStart, int bufferLength);

// As SzBase64EncBuffer, but stops before a 3-byte group whose first byte is
// zero (a zero in the second or third place is encoded like any byte).
char* SzBase64EncOneLine(unsigned char* szSubjectStart, int subjectLength);

// Worker of the two encoders above; blChkZero selects the one-line rule.
char* SzBase64EncBuf(unsigned char* BufStart, int bufferSize, bool blChkZero);

// Strict decoder of 4-character groups. *outlen is the room in `out` on
// entry and the number of bytes written on return. True only when all of
// `in` was valid Base64 (padding only at the end, no whitespace, length a
// multiple of 4); bytes decoded before a fault stay in `out`. When `out`
// fills up before the input ends the result is false and *outlen keeps its
// entry value. Null arguments give false.
bool EncBase64Dec(const char* in, size_t inlen, char* out, size_t* outlen);

// The Base64 alphabet character of value & 63.
char CBase64Table(int value);

// ---- scoped and temporary files ----
// A directory prefix paired with a uniquely named file made in it by
// FSMktemp. SFFile is a plain handle that never removes its file by itself;
// TempFile shares its file between copies and the last owner removes it
// unless it was made permanent. No locking: objects that share a file must
// be used from one thread at a time. The default prefixes are plain statics;
// set them with initialize() before other threads make objects.

class SFFile {
  public:
    // Prefix for objects made with an empty prefix; "/tmp" at start. Returns 0.
    static int initialize(const ustring& prefix);

    // Uses `prefix`, or the default prefix when it is empty. Holds no file.
    explicit SFFile(const ustring& prefix);
    // Copies name the same file; none of them owns it.
    SFFile(const SFFile& other);
    const SFFile& operator=(const SFFile& other);
    // Leaves the file in place.
    ~SFFile();

    void setPrefix(const ustring& prefix);
    // The file's path; empty while no file is held.
    const ustring& getPath() const;
    // Creates a new empty file in the prefix directory, or reuses the one
    // already held. Returns 0, or -1 (logged) when it cannot be created.
    int create();
    // Removes the held file (failures are ignored) and forgets its path.
    void remove();
    // Size in bytes of the held file; 0 when none is held or it is unreadable.
    uint64_t getSize();

  private:
    static ustring default_prefix;
    ustring m_prefix;
    ustring m_path;
};

class TempFile {
  public:
    // Prefix for objects made with an empty prefix; "/tmp" at start. Returns 0.
    static int initialize(const ustring& prefix);

    // Uses `prefix`, or the default prefix when it is empty. Holds no file.
    explicit TempFile(const ustring& prefix);
    // Shares other's file (when it holds one) exactly as assignment does.
    TempFile(const TempFile& other);
    // Gives up this object's share; the last owner of a live file removes it
    // unless it is permanent.
    ~TempFile();

    void setPrefix(const ustring& prefix);
    // The file's path; empty while none is held.
    const ustring& getPath() const;
    // Creates a new empty file. Returns 0; -1 without logging when this
    // object (or one sharing its file) already holds a live file, -1 with a
    // log line when the file cannot be created.
    int create();
    // Removes the file for every owner (failures are ignored) and forgets the
    // path here. Other owners keep their copy of the path but no longer own a
    // file, so none of them removes anything later.
    void remove();
    // The file then survives its last owner; not undone by anything but an
    // assignment, which copies this flag from the source.
    void convert_permanent();
    // A sole owner's file is removed first (whatever `permanent` says). Then
    // prefix, path and `permanent` are copied from other; when other names a
    // file this object becomes one more owner of it, otherwise it is left
    // without a file. Self-assignment changes nothing.
    const TempFile& operator=(const TempFile& other);

  private:
    // Shared by every object that refers to the same file. `count` is the
    // number of owners of the live file (0: no live file: never created, or
    // removed); `holders` is the number of objects pointing at this block,
    // which may outlive the file and is what decides when the block goes.
    struct Counter {
        int count;
        int holders;
    };

    void share(Counter* other);
    void release();

    static ustring default_prefix;
    ustring tmp_prefix;
    ustring path;
    Counter* ref;
    bool permanent;
};

// ---- critical section ----
// Scope guard over a lock the caller owns: a POSIX mutex, or an exclusive
// flock() on a descriptor (which serialises processes and open file
// descriptions). start() takes the lock, end() and the destructor release
// it; entering and leaving are logged at L_DEBUG. The guard never creates,
// destroys, opens or closes the lock object, and results of the lock calls
// are not examined, except that a flock() interrupted by a signal is tried
// again. One guard object belongs to one thread.

class CriticalSection {
  public:
    // Guard over `cs_lock`; takes nothing yet.
    explicit CriticalSection(pthread_mutex_t* cs_lock);
    // Guard over an exclusive flock() on `fd`; takes nothing yet.
    explicit CriticalSection(int fd);
    // Releases the lock if this guard holds it.
    ~CriticalSection();

    // Takes the lock, blocking until granted; does nothing when this guard
    // already holds it (no counting).
    void start();
    // Releases the lock if this guard holds it; otherwise does nothing.
    void end();

  private:
    CriticalSection(const CriticalSection&);
    CriticalSection& operator=(const CriticalSection&);

    int lock(int fd);
    int lock(pthread_mutex_t* mutex);
    int unlock(int fd);
    int unlock(pthread_mutex_t* mutex);
    bool use_flock();

    pthread_mutex_t* lock_mutex;
    int lock_fd;
    bool in_lock;
};

// ---- host name, user name and text conversions ----
// Plain functions without shared state; safe from any thread. On Linux the
// native encoding is UTF-8 and no code page applies, so the four conversions
// copy bytes unchanged (up to the first NUL) and never check validity.

// Stores this machine's host name in `host` (at most 511 bytes; empty when
// the name cannot be read). Always returns 0.
int GetSysHostName(std::string& host);

// Splits a qualified user name at its last "/" (or, when it has none, at its
// last "\"): `domain` receives the part before, `user_name` the part after.
// A name without either separator is left as it is and `domain` is cleared.
// Example: "CORP\alice" gives domain "CORP" and user name "alice".
void ParseUsrName(std::string& user_name, std::string& domain);

// Splits `input` at the last occurrence of `deli`: `str1` receives what
// precedes it, `str2` what follows it (empty when the delimiter ends the
// input). `deli` is meant to be one character; when it is empty or does not
// occur, `str1` is cleared and `str2` receives the whole input.
void ParsingByDelimiter(std::string input, std::string& str1, std::string& str2, std::string deli);

// Text from the platform's native byte form (UTF-8) or the process's code
// page into a ustring. Bytes after an embedded NUL are dropped. Return 0.
int UTF8ToNativeStr(const std::string& in, ustring& out);
int CodePageToNativeStr(const std::string& in, ustring& out);

// The reverse: the ustring's bytes up to its first NUL. Return 0.
int NativeStrToUTF8(const ustring& in, std::string& out);
int NativeStrToCodePage(const ustring& in, std::string& out);
