// Temporary-name generator: a time-keyed RC4 keystream turned into names.
#include "tmp_name_gen.h"

#include <pthread.h>
#include <sys/time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "log-internal.h"

namespace {

pthread_mutex_t g_name_lock = PTHREAD_MUTEX_INITIALIZER;

const char kNameAlphabet[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_";
static_assert(sizeof(kNameAlphabet) == 65, "the alphabet has 64 characters");

// Writes "<seconds>-<microseconds>" of the current time into key,
// NUL-terminated within len bytes; the rest of the buffer is left as is.
void GetKey(unsigned char* key, size_t len) {
    struct timeval tv;
    if (gettimeofday(&tv, nullptr) != 0) {
        // An empty key makes Rc4Init fall back to rand(), still seeded by time.
        key[0] = 0;
        return;
    }
    std::snprintf(reinterpret_cast<char*>(key), len, "%lu-%lu",
                  static_cast<unsigned long>(tv.tv_sec), static_cast<unsigned long>(tv.tv_usec));
}

// RC4 key schedule over all 256 key bytes (the key is not repeated by its
// length). A key whose first byte is 0 is replaced by rand() bytes.
void Rc4Init(unsigned char* S, unsigned char* key) {
    for (int i = 0; i < 256; ++i) S[i] = static_cast<unsigned char>(i);
    if (key[0] == 0) {
        std::srand(static_cast<unsigned>(std::time(nullptr)));
        for (int i = 0; i < 256; ++i) key[i] = static_cast<unsigned char>(std::rand() & 0xff);
    }
    unsigned j = 0;
    for (int i = 0; i < 256; ++i) {
        j = (j + S[i] + key[i]) & 0xff;
        unsigned char t = S[i];
        S[i] = S[j];
        S[j] = t;
    }
}

// length keystream bytes into buffer; i and j restart at 0 on every call
// while S carries over.
void Rc4Randomize(unsigned char* S, unsigned char* buffer, int length) {
    unsigned j = 0;
    for (int k = 0; k < length; ++k) {
        unsigned i = static_cast<unsigned>(k + 1) & 0xff;
        unsigned char a = S[i];
        j = (j + a) & 0xff;
        S[i] = S[j];
        S[j] = a;
        buffer[k] = S[(S[i] + a) & 0xff];
    }
}

}  // namespace

TmpNameGen& TmpNameGen::getInstance() {
    static TmpNameGen tmp_name;
    return tmp_name;
}

TmpNameGen::TmpNameGen() {
    unsigned char key[256] = {};
    std::memset(m_buffer, 0, sizeof m_buffer);
    GetKey(key, sizeof key);
    Rc4Init(m_s_box, key);
}

TmpNameGen::~TmpNameGen() {}

ustring TmpNameGen::getTmpName() {
    char name[9];
    {
        bv_internal::MutexLock lock(&g_name_lock);
        Rc4Randomize(m_s_box, m_buffer, 6);
        for (int g = 0; g < 2; ++g) {
            const unsigned char* b = m_buffer + 3 * g;
            char* out = name + 4 * g;
            out[0] = kNameAlphabet[b[0] >> 2];
            out[1] = kNameAlphabet[((b[0] & 3) << 4) | (b[1] >> 4)];
            out[2] = kNameAlphabet[((b[1] & 15) << 2) | (b[2] >> 6)];
            out[3] = kNameAlphabet[b[2] & 63];
        }
    }
    name[8] = '\0';
    return ustring(name);
}

ustring TmpNameGen::getTmpPath(const ustring& prefix) {
    ustring path(prefix);
    path += "/";
    path += getTmpName();
    return path;
}
