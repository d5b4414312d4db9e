// ustring: the text type of every interface in the library (paths, share and
// server names, configuration values, log components). Module lib/ustring/,
// the ground floor: it depends on ICU alone, and every other module on it.
//
// The UTF-8 bytes are the authoritative form; every length, index and search
// counts bytes of that form. A UTF-16 form is produced on demand by
// c_str_utf16() and dropped whenever the bytes change. Up to 23 bytes are
// held in the object itself, so that most file names cost no allocation.
// Longer texts get heap buffers that grow exactly (no geometric headroom; the
// UTF-16 form gets one unit per byte, the most it can need) and shrink as
// soon as less than half of them would be used, so a string costs what it
// holds: an empty or short one owns no buffer at all.
//
// Thread-safety: none. A ustring must not be used from two threads at once,
// not even for const access, because c_str_utf16() fills the UTF-16 form
// inside a const call. Distinct objects are independent.
//
// Errors: allocation failure throws std::bad_alloc; positions beyond the end
// throw std::out_of_range. Conversion failures never throw: they print a
// "Warning: ..." line on standard error; invalid UTF-8 then has no UTF-16
// form, and a UTF-16 operation that meets an unpaired surrogate leaves the
// whole string empty.
//
// Usage:
//   ustring path("/Sync/caf\xC3\xA9/");
//   path.rtrim("/");
//   ustring name = path.substr(path.find_last_of('/') + 1);   // "caf\xC3\xA9"
//   ustring decomposed = name.normalize(ustring::NFD);     // "cafe\xCC\x81"
//   const uchar16_t* wide = decomposed.c_str_utf16();       // valid until it changes
#pragma once

#include <cassert>
#include <cstddef>
#include <iosfwd>
#include <string>

// One UTF-16 code unit, the same type as ICU's UChar, so ICU calls take it
// without casts.
typedef char16_t uchar16_t;

class ustring {
  public:
    // Returned by searches that find nothing; as a count, "the rest".
    static constexpr size_t npos = static_cast<size_t>(-1);

    enum normalization_form { NFC = 0, NFD = 1 };

    // ---- construction ----------------------------------------------------
    // A null pointer argument anywhere in this interface reads as the empty
    // text.
    // Allocates nothing.
    ustring() noexcept;
    ustring(const ustring& x);
    // Takes x's buffers (copies its bytes when they are held in x itself) and
    // allocates nothing; x is left empty and valid, its c_str() the empty
    // text.
    ustring(ustring&& x) noexcept;
    ustring(const char* s);
    ustring(const uchar16_t* s);
    ustring(const std::string& x);
    ustring(char c);
    ~ustring();

    // ---- access ----------------------------------------------------------
    // The UTF-8 bytes, always NUL-terminated; valid until the next change,
    // or until the string is moved (a short text moves with the object).
    const char* c_str() const { return data; }
    const char* c_str_utf8() const { return data; }
    // The UTF-16 form, converted first if none is held. On invalid UTF-8 a
    // warning goes to standard error and the empty text is returned (and the
    // next call tries again). Valid until the next change.
    const uchar16_t* c_str_utf16() const {
        if (wdata_len == 0) convert_from_data();
        return wdata;
    }

    // Bytes of the UTF-8 form (not characters); embedded NULs count.
    size_t length() const { return data_len; }
    size_t size() const { return data_len; }
    bool empty() const { return data_len == 0; }

    // The byte at i; no bounds check. The non-const form drops the UTF-16
    // form, since the caller may write through the reference.
    char operator[](size_t i) const { return data[i]; }
    char& operator[](size_t i) {
        clear_wdata();
        return data[i];
    }

    // Both forms empty; the buffers keep their capacity.
    void clear();
    void swap(ustring& x) noexcept;

    // Every byte c1 before the first NUL becomes c2; the UTF-16 form is
    // dropped.
    ustring& replace(char c1, char c2);

    // At most len bytes from start, stopping at the first NUL byte.
    // Throws std::out_of_range("substr") if start > length(); start ==
    // length() gives the empty string.
    ustring substr(size_t start = 0, size_t len = npos) const;

    // ---- assignment and appending ----------------------------------------
    // All return *this. UTF-8 forms drop the UTF-16 form; UTF-16 forms
    // leave one in place (unless the result is empty or a conversion
    // failed). A source that is this object's own c_str() (or own
    // c_str_utf16()) is recognised: appending it doubles the text, assigning
    // it changes nothing. A pointer further into the own text is taken as
    // the tail it points at.
    //
    // const char*: bytes up to the NUL, or at most len bytes.
    ustring& append(const char* s);
    ustring& append(const char* s, size_t len);
    ustring& assign(const char* s);
    // With s == c_str(): truncates to len bytes when len < length().
    ustring& assign(const char* s, size_t len);
    // n copies of the byte c, NUL included.
    ustring& append(char c, size_t n);
    ustring& assign(char c, size_t n);
    // The bytes of x.substr(pos, len). Throws std::out_of_range("substr")
    // when pos > x.length(); assign has then already emptied the target,
    // except when x is this object, which is left unchanged.
    ustring& append(const ustring& x, size_t pos = 0, size_t len = npos);
    ustring& assign(const ustring& x, size_t pos = 0, size_t len = npos);
    // The bytes of x.substr(pos, len) up to its first NUL. Throws
    // std::out_of_range("basic_string::substr") when pos > x.size(); assign
    // has then already emptied the target.
    ustring& append(const std::string& x, size_t pos = 0, size_t len = npos);
    ustring& assign(const std::string& x, size_t pos = 0, size_t len = npos);
    // UTF-16 units up to the 0 unit, or at most len units. Only the added
    // units are converted, so existing bytes are kept even where they have
    // no complete UTF-16 form (invalid UTF-8, embedded NULs). An unpaired
    // surrogate prints a warning and leaves the whole string empty.
    ustring& append(const uchar16_t* s);
    ustring& append(const uchar16_t* s, size_t len);
    ustring& assign(const uchar16_t* s);
    // With s == c_str_utf16(): truncates the UTF-16 form to len units when
    // len is smaller, and rebuilds the bytes from it.
    ustring& assign(const uchar16_t* s, size_t len);
    ustring& append(uchar16_t c, size_t n);
    ustring& assign(uchar16_t c, size_t n);

    ustring& operator=(const ustring& x) { return assign(x, 0, npos); }
    ustring& operator=(ustring&& x) noexcept;
    ustring& operator=(const char* s) { return assign(s); }
    ustring& operator=(const std::string& x) { return assign(x, 0, npos); }
    ustring& operator=(char c) { return assign(c, 1); }
    ustring& operator=(const uchar16_t* s) { return assign(s); }
    ustring& operator=(uchar16_t c) { return assign(c, 1); }

    ustring& operator+=(const ustring& x) { return append(x, 0, npos); }
    ustring& operator+=(const char* s) { return append(s); }
    ustring& operator+=(const std::string& x) { return append(x, 0, npos); }
    ustring& operator+=(char c) { return append(c, 1); }
    ustring& operator+=(const uchar16_t* s) { return append(s); }
    ustring& operator+=(uchar16_t c) { return append(c, 1); }

    // ---- search ----------------------------------------------------------
    // Byte indexes into c_str(), or npos. Sets and patterns are compared
    // byte by byte (a multi-byte character in a set stands for its bytes);
    // a std::string or ustring argument is read up to its first NUL, and the
    // char 0 is the empty text.
    //
    // Forward searches start at pos (npos if pos >= length()) and stop at
    // the first NUL byte of this string (a NUL at pos gives npos). Otherwise
    // an empty set or pattern gives npos for find_first_of and pos for
    // find_first_not_of and find.
    size_t find_first_of(const char* s, size_t pos = 0) const;
    size_t find_first_of(char c, size_t pos = 0) const;
    size_t find_first_of(const std::string& x, size_t pos = 0) const;
    size_t find_first_of(const ustring& x, size_t pos = 0) const;
    size_t find_first_not_of(const char* s, size_t pos = 0) const;
    size_t find_first_not_of(char c, size_t pos = 0) const;
    size_t find_first_not_of(const std::string& x, size_t pos = 0) const;
    size_t find_first_not_of(const ustring& x, size_t pos = 0) const;
    size_t find(const char* s, size_t pos = 0) const;
    size_t find(char c, size_t pos = 0) const;
    size_t find(const std::string& x, size_t pos = 0) const;
    size_t find(const ustring& x, size_t pos = 0) const;
    // Backward searches start at pos, or at the last byte when pos >=
    // length() (npos on an empty string), and step down to index 0. An empty
    // set gives npos for find_last_of and the start for find_last_not_of; an
    // empty pattern gives the start for rfind. An rfind match may run past
    // the start.
    size_t find_last_of(const char* s, size_t pos = npos) const;
    size_t find_last_of(char c, size_t pos = npos) const;
    size_t find_last_of(const std::string& x, size_t pos = npos) const;
    size_t find_last_of(const ustring& x, size_t pos = npos) const;
    size_t find_last_not_of(const char* s, size_t pos = npos) const;
    size_t find_last_not_of(char c, size_t pos = npos) const;
    size_t find_last_not_of(const std::string& x, size_t pos = npos) const;
    size_t find_last_not_of(const ustring& x, size_t pos = npos) const;
    size_t rfind(const char* s, size_t pos = npos) const;
    size_t rfind(char c, size_t pos = npos) const;
    size_t rfind(const std::string& x, size_t pos = npos) const;
    size_t rfind(const ustring& x, size_t pos = npos) const;

    // ---- trimming --------------------------------------------------------
    // Strip leading / trailing bytes that are in list (no default set).
    // When nothing is stripped the string, UTF-16 form included, is left
    // as it was.
    ustring& ltrim(const char* list);
    ustring& ltrim(const ustring& list);
    ustring& rtrim(const char* list);
    ustring& rtrim(const ustring& list);
    ustring& trim(const char* list);
    ustring& trim(const ustring& list);

    // ---- comparison ------------------------------------------------------
    // Byte-wise walk up to the first difference or the first NUL of a;
    // returns a's byte minus b's byte (unsigned bytes), 0 when equal. With
    // caseless, 'A'..'Z' fold to 'a'..'z' first; bytes >= 0x80 never fold.
    static int compare(const ustring& a, const ustring& b, bool caseless);
    int compare(const ustring& str) const;
    // As compare(str) over at most n bytes; n == 0 gives 0.
    int compare(const ustring& str, size_t n) const;

    // ---- normalisation and validity --------------------------------------
    // x in canonical composition (NFC) or decomposition (NFD), up to its
    // first NUL; the empty string on any failure (with a warning on standard
    // error), invalid UTF-8 included. Text already in the form is copied as
    // it is.
    static ustring normalize(const ustring& x, normalization_form n);
    ustring normalize(normalization_form n) const;
    // False only when the UTF-8 bytes (up to the first NUL) hold an invalid
    // sequence.
    static bool is_valid(const ustring& x);

  protected:
    // Room for the bytes in the object itself, the terminator included.
    static constexpr size_t kLocalBytes = 24;

    // Capacity rule: unchanged if len fits and uses at least half of a heap
    // buffer (the local one is always kept while len fits it); otherwise
    // moved into the local buffer when len fits it, else reallocated to
    // exactly len (bytes / units, the terminator included). The content is
    // kept up to len. Throws std::bad_alloc, keeping the old buffer.
    //
    // A UTF-16 capacity of 0 marks the shared empty text (empty_wstring()),
    // which is read-only: an empty form owns no buffer, and the first growth
    // allocates.
    void realloc_data(size_t len);
    void realloc_wdata(size_t len) const;
    void clear_data() { set_length(0); }
    void clear_wdata() const { set_wlength(0); }
    // Both forms empty, owning no buffer.
    void init() noexcept {
        data = local_;
        local_[0] = '\0';
        data_len = 0;
        data_cap = kLocalBytes;
        wdata = const_cast<uchar16_t*>(empty_wstring());
        wdata_len = wdata_cap = 0;
    }
    // Rebuild one form from the other; 0 on success, -1 (with a warning on
    // standard error) on failure.
    int convert_from_wdata();
    int convert_from_data() const;
    static const uchar16_t* empty_wstring() { return u""; }

    char* data;  // local_ or a heap buffer
    size_t data_len;
    size_t data_cap;
    mutable uchar16_t* wdata;
    mutable size_t wdata_len;
    mutable size_t wdata_cap;

  private:
    void init_sized(size_t need);
    // x's content moves here, x is left empty; this string must own nothing.
    void take(ustring& x) noexcept;
    void set_length(size_t len) {
        assert(len < data_cap);
        data_len = len;
        data[len] = '\0';
    }
    // The UTF-16 length, and its terminator unless the buffer is the shared
    // empty text.
    void set_wlength(size_t len) const {
        assert(len < wdata_cap || len == 0);
        wdata_len = len;
        if (wdata_cap) wdata[len] = 0;
    }
    ustring& append_bytes(const char* s, size_t k, size_t cap_k);
    void fill_empty(const char* s, size_t k);
    ustring& append_units(const uchar16_t* s, size_t k);
    int units_to_bytes(const uchar16_t* src, size_t units, size_t at);

    char local_[kLocalBytes];
};

void swap(ustring& a, ustring& b) noexcept;

ustring operator+(const ustring& a, const ustring& b);
ustring operator+(const ustring& a, const char* b);
ustring operator+(const ustring& a, char b);
ustring operator+(const ustring& a, const uchar16_t* b);
ustring operator+(const ustring& a, uchar16_t b);

bool operator==(const ustring& a, const ustring& b);
bool operator!=(const ustring& a, const ustring& b);
bool operator<(const ustring& a, const ustring& b);
bool operator>(const ustring& a, const ustring& b);
bool operator<=(const ustring& a, const ustring& b);
bool operator>=(const ustring& a, const ustring& b);

// Writes the bytes up to the first NUL.
std::ostream& operator<<(std::ostream& os, const ustring& s);
// Reads one whitespace-delimited word, as extraction into std::string does,
// and assigns it.
std::istream& operator>>(std::istream& is, ustring& s);
