#include "P2PString.h"

#include "BitStream.h"
#include "PeerUtils.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

namespace P2PNet {

struct P2PString::Record {
    std::atomic<int> refCount{0};
    std::size_t capacity = kInlineBytes;
    std::size_t length = 0;
    char* heap = nullptr;
    char* text = inlineStore;
    char inlineStore[kInlineBytes] = {};
};

namespace {

// The one empty record; never counted, never freed.
P2PString::Record g_emptyRecord;

struct RecordPool {
    std::mutex mutex;
    std::vector<P2PString::Record*> free;
};

// Never destroyed, so that strings released during static destruction still find it.
RecordPool& pool()
{
    static RecordPool* s_pool = new RecordPool;
    return *s_pool;
}

// A record with room for `needed` bytes (terminator included) and a count of 1; null when
// memory runs out.
P2PString::Record* allocateRecord(std::size_t needed)
{
    P2PString::Record* record = nullptr;
    {
        RecordPool& p = pool();
        std::lock_guard<std::mutex> lock(p.mutex);
        if (p.free.empty()) {
            p.free.reserve(p.free.size() + P2PString::kPoolBatch);
            for (std::size_t i = 0; i < P2PString::kPoolBatch; ++i)
                p.free.push_back(new P2PString::Record);
        }
        record = p.free.back();
        p.free.pop_back();
    }
    if (needed > P2PString::kInlineBytes) {
        record->capacity = needed * 2;
        record->heap = static_cast<char*>(PeerAllocate(record->capacity, __FILE__, __LINE__));
        if (record->heap == nullptr) {
            PeerOutOfMemory(__FILE__, __LINE__);
            record->capacity = P2PString::kInlineBytes;
            std::lock_guard<std::mutex> lock(pool().mutex);
            pool().free.push_back(record);
            return nullptr;
        }
        record->text = record->heap;
    } else {
        record->capacity = P2PString::kInlineBytes;
        record->heap = nullptr;
        record->text = record->inlineStore;
    }
    record->refCount.store(1);
    record->length = 0;
    record->text[0] = '\0';
    return record;
}

void releaseRecord(P2PString::Record* record)
{
    if (record == &g_emptyRecord)
        return;
    if (record->refCount.fetch_sub(1) != 1)
        return;
    PeerFree(record->heap, __FILE__, __LINE__);
    record->heap = nullptr;
    record->text = record->inlineStore;
    record->capacity = P2PString::kInlineBytes;
    std::lock_guard<std::mutex> lock(pool().mutex);
    pool().free.push_back(record);
}

} // namespace

P2PString::P2PString() : m_record(&g_emptyRecord) {}

P2PString::P2PString(const char* text) : m_record(&g_emptyRecord)
{
    if (text)
        Assign(text, std::strlen(text));
}

P2PString::P2PString(const char* text, std::size_t length) : m_record(&g_emptyRecord)
{
    if (text)
        Assign(text, length);
}

P2PString::P2PString(const P2PString& other) : m_record(other.m_record)
{
    if (m_record != &g_emptyRecord)
        m_record->refCount.fetch_add(1);
}

P2PString::P2PString(P2PString&& other) noexcept : m_record(other.m_record) { other.m_record = &g_emptyRecord; }

P2PString& P2PString::operator=(const P2PString& other)
{
    if (m_record != other.m_record) {
        Record* old = m_record;
        m_record = other.m_record;
        if (m_record != &g_emptyRecord)
            m_record->refCount.fetch_add(1);
        releaseRecord(old);
    }
    return *this;
}

P2PString& P2PString::operator=(P2PString&& other) noexcept
{
    if (this != &other) {
        releaseRecord(m_record);
        m_record = other.m_record;
        other.m_record = &g_emptyRecord;
    }
    return *this;
}

P2PString& P2PString::operator=(const char* text)
{
    // The text may lie in our own record; copy before letting go of it.
    P2PString copy(text);
    *this = std::move(copy);
    return *this;
}

P2PString::~P2PString() { releaseRecord(m_record); }

void P2PString::Assign(const char* text, std::size_t length)
{
    Release();
    if (length == 0)
        return;
    Record* record = allocateRecord(length + 1);
    if (record == nullptr)
        return;
    std::memcpy(record->text, text, length);
    record->text[length] = '\0';
    record->length = length;
    m_record = record;
}

const char* P2PString::c_str() const { return m_record->text; }

std::size_t P2PString::size() const { return m_record->length; }

std::size_t P2PString::capacity() const { return m_record->capacity; }

bool P2PString::UsesInlineStore() const { return m_record->text == m_record->inlineStore; }

int P2PString::UseCount() const { return m_record == &g_emptyRecord ? 0 : m_record->refCount.load(); }

void P2PString::Release()
{
    releaseRecord(m_record);
    m_record = &g_emptyRecord;
}

P2PString& P2PString::Format(const char* format, ...)
{
    char local[512];
    va_list args;
    va_start(args, format);
    const int needed = std::vsnprintf(local, sizeof local, format, args);
    va_end(args);
    if (needed < 0) {
        Release();
        return *this;
    }
    if (static_cast<std::size_t>(needed) < sizeof local) {
        Assign(local, static_cast<std::size_t>(needed));
        return *this;
    }
    std::size_t size = 8096;
    while (size < static_cast<std::size_t>(needed) + 1)
        size *= 2;
    char* heap = static_cast<char*>(PeerAllocate(size, __FILE__, __LINE__));
    if (heap == nullptr) {
        PeerOutOfMemory(__FILE__, __LINE__);
        Assign(local, sizeof local - 1);
        return *this;
    }
    va_start(args, format);
    std::vsnprintf(heap, size, format, args);
    va_end(args);
    Assign(heap, static_cast<std::size_t>(needed));
    PeerFree(heap, __FILE__, __LINE__);
    return *this;
}

void P2PString::Serialize(BitStream& stream) const { stream.WriteString(c_str()); }

bool P2PString::Deserialize(BitStream& stream)
{
    Release();
    const uint32_t start = stream.GetReadPosition();
    uint16_t length = 0;
    if (!stream.ReadU16(length))
        return false;
    stream.AlignRead();
    if (length == 0)
        return true;
    if (length > stream.GetNumberOfUnreadBits() / 8) {
        stream.SetReadPosition(start);
        return false;
    }
    Record* record = allocateRecord(static_cast<std::size_t>(length) + 1);
    if (record == nullptr) {
        // Skip the text so that the rest of the message stays readable.
        stream.IgnoreBits(static_cast<uint32_t>(length) * 8);
        return false;
    }
    stream.ReadBytes(record->text, length);
    record->text[length] = '\0';
    record->length = length;
    m_record = record;
    return true;
}

P2PString P2PString::SubStr(std::size_t count, std::size_t index) const
{
    if (count == 0 || index >= size())
        return P2PString();
    const std::size_t available = size() - index;
    return P2PString(c_str() + index, count < available ? count : available);
}

void P2PString::TakeAfterLastColon()
{
    const char* colon = std::strrchr(c_str(), ':');
    if (colon == nullptr || colon[1] == '\0')
        return;
    *this = P2PString(colon + 1);
}

bool P2PString::operator==(const P2PString& other) const
{
    return m_record == other.m_record ||
           (size() == other.size() && std::memcmp(c_str(), other.c_str(), size()) == 0);
}

bool P2PString::operator==(const char* text) const { return std::strcmp(c_str(), text ? text : "") == 0; }

bool P2PString::operator<(const P2PString& other) const { return std::strcmp(c_str(), other.c_str()) < 0; }

void P2PString::FreePool()
{
    std::vector<Record*> records;
    {
        RecordPool& p = pool();
        std::lock_guard<std::mutex> lock(p.mutex);
        records.swap(p.free);
    }
    for (Record* record : records)
        delete record;
}

std::size_t P2PString::PooledRecordCount()
{
    RecordPool& p = pool();
    std::lock_guard<std::mutex> lock(p.mutex);
    return p.free.size();
}

} // namespace P2PNet
