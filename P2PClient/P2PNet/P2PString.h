// A reference-counted text. Copies share one record; the record is freed (returned to a
// process-wide pool) when the last copy lets go. Texts of up to 111 characters live in the
// record's inline store; longer ones take a heap buffer of twice their size with terminator.
// One object is used by one thread at a time, as a std::string; copies may live on any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace P2PNet {

class BitStream;

class P2PString {
public:
    static constexpr std::size_t kInlineBytes = 112;
    // Records made at once when the pool is empty.
    static constexpr std::size_t kPoolBatch = 128;

    P2PString();
    P2PString(const char* text);
    P2PString(const char* text, std::size_t length);
    P2PString(const P2PString& other);
    P2PString(P2PString&& other) noexcept;
    P2PString& operator=(const P2PString& other);
    P2PString& operator=(P2PString&& other) noexcept;
    // Copies the text into a new record; null or empty gives the empty string.
    P2PString& operator=(const char* text);
    ~P2PString();

    const char* c_str() const;
    std::size_t size() const;
    bool empty() const { return size() == 0; }
    // Bytes the record can hold, terminator included (112 inline, else twice the size needed).
    std::size_t capacity() const;
    bool UsesInlineStore() const;
    // Number of copies sharing the record (0 for the empty string).
    int UseCount() const;

    // Lets go of the record; this becomes the empty string.
    void Release();

    // printf-style; formats into a 512-byte local buffer, or into a heap buffer of 8096 bytes
    // doubling until the text fits. If that allocation fails the out-of-memory hook is called and
    // the first 511 characters are kept.
    P2PString& Format(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // Writes the string form of the bit stream: u16 big-endian length, then the bytes.
    void Serialize(BitStream& stream) const;
    // Reads u16 length, aligns the read position, then the bytes. A zero length gives the empty
    // string. Too few bits: false, the empty string, and the read position restored.
    bool Deserialize(BitStream& stream);

    // At most count characters from index; an index at or past the end or a count of 0 gives the
    // empty string.
    P2PString SubStr(std::size_t count, std::size_t index) const;
    // When the text holds ":" followed by at least one character, keeps only what follows the
    // last ":".
    void TakeAfterLastColon();

    bool operator==(const P2PString& other) const;
    bool operator==(const char* text) const;
    bool operator!=(const P2PString& other) const { return !(*this == other); }
    bool operator<(const P2PString& other) const;

    // Deletes every pooled record (at process end). Records still in use go back to the pool when
    // released.
    static void FreePool();
    // Records waiting in the pool.
    static std::size_t PooledRecordCount();

    struct Record;

private:
    void Assign(const char* text, std::size_t length);

    Record* m_record;
};

} // namespace P2PNet
