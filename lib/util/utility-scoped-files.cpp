// SFFile and TempFile: uniquely named files in a prefix directory.
#include "file-op.h"
#include "util-internal.h"
#include "utility.h"

ustring SFFile::default_prefix("/tmp");
ustring TempFile::default_prefix("/tmp");

// ---- SFFile ----

int SFFile::initialize(const ustring& prefix) {
    default_prefix = prefix;
    return 0;
}

SFFile::SFFile(const ustring& prefix) : m_prefix(prefix.empty() ? default_prefix : prefix) {}

SFFile::SFFile(const SFFile& other) : m_prefix(other.m_prefix), m_path(other.m_path) {}

const SFFile& SFFile::operator=(const SFFile& other) {
    if (this != &other) {
        m_prefix = other.m_prefix;
        m_path = other.m_path;
    }
    return *this;
}

SFFile::~SFFile() {}

void SFFile::setPrefix(const ustring& prefix) {
    m_prefix = prefix;
}

const ustring& SFFile::getPath() const {
    return m_path;
}

int SFFile::create() {
    if (!m_path.empty()) {
        UTILITY_LOG(L_DEBUG, "[DEBUG] utility(%d): use exist file\n");
        return 0;
    }
    if (FSMktemp(m_prefix, m_path) < 0) {
        UTILITY_LOG(L_ERR, "[ERROR] utility(%d): failed to create File ...\n");
        return -1;
    }
    UTILITY_LOG(L_DEBUG, "[DEBUG] utility(%d): creating File '%s'\n", m_path.c_str());
    return 0;
}

void SFFile::remove() {
    UTILITY_LOG(L_DEBUG, "[DEBUG] utility(%d): removing File '%s'\n", m_path.c_str());
    FSRemove(m_path, false);
    m_path.clear();
}

uint64_t SFFile::getSize() {
    if (m_path.empty()) return 0;
    FILE_INFO info;
    if (FSStat(m_path, info, false) != 0 || !info.isExist) return 0;
    return info.size;
}

// ---- TempFile ----

int TempFile::initialize(const ustring& prefix) {
    default_prefix = prefix;
    return 0;
}

TempFile::TempFile(const ustring& prefix)
    : tmp_prefix(prefix.empty() ? default_prefix : prefix),
      ref(new Counter{0, 1}),
      permanent(false) {}

TempFile::TempFile(const TempFile& other)
    : tmp_prefix(other.tmp_prefix), path(other.path), ref(nullptr), permanent(other.permanent) {
    if (path.empty())
        ref = new Counter{0, 1};
    else
        share(other.ref);
}

TempFile::~TempFile() {
    if (ref->count == 1 && !permanent) remove();
    release();
}

// Leaves this object's counter: one owner and one holder fewer; the last
// holder frees it. Callers have already removed a file this object alone
// owned, so the count never drops to 0 with a live file behind it.
void TempFile::release() {
    if (ref->count > 0) --ref->count;
    if (--ref->holders == 0) delete ref;
    ref = nullptr;
}

// Joins `other` as one more holder, and one more owner when its file is live.
void TempFile::share(Counter* other) {
    ref = other;
    ++ref->holders;
    if (ref->count > 0) ++ref->count;
}

void TempFile::setPrefix(const ustring& prefix) {
    tmp_prefix = prefix;
}

const ustring& TempFile::getPath() const {
    return path;
}

int TempFile::create() {
    if (ref->count != 0) return -1;
    ustring created;
    if (FSMktemp(tmp_prefix, created) < 0) {
        UTILITY_LOG(L_ERR, "[ERROR] utility(%d): failed to create TempFile ...\n");
        return -1;
    }
    // Objects still pointing at this counter hold the path of a file that was
    // removed; the new file must not become theirs, so leave them the old
    // counter and start a fresh one.
    if (ref->holders > 1) {
        release();
        ref = new Counter{0, 1};
    }
    path = created;
    ref->count = 1;
    UTILITY_LOG(L_DEBUG, "[DEBUG] utility(%d): creating TempFile '%s'\n", path.c_str());
    return 0;
}

void TempFile::remove() {
    UTILITY_LOG(L_DEBUG, "[DEBUG] utility(%d): removing TempFile '%s'\n", path.c_str());
    FSRemove(path, false);
    ref->count = 0;
    path.clear();
}

void TempFile::convert_permanent() {
    permanent = true;
}

const TempFile& TempFile::operator=(const TempFile& other) {
    if (this == &other) return *this;
    if (ref == other.ref) {
        // Already co-owners of the same counter: only the fields differ.
        tmp_prefix = other.tmp_prefix;
        path = other.path;
        permanent = other.permanent;
        return *this;
    }
    if (ref->count == 1) remove();
    tmp_prefix = other.tmp_prefix;
    path = other.path;
    permanent = other.permanent;
    if (path.empty()) {
        // No file to share. A counter still shared with others would make
        // this object a silent owner of their file, with no path to remove it
        // by if it ends up last; it takes a fresh counter instead.
        if (ref->holders > 1) {
            release();
            ref = new Counter{0, 1};
        }
        return *this;
    }
    release();
    share(other.ref);
    return *this;
}
