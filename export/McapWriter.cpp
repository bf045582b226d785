#include "McapWriter.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include <libdeflate.h>
#include <zstd.h>

#include "AtomicFile.h"

namespace mcap_export {

namespace {

constexpr uint8_t kMagic[] = {0x89, 'M', 'C', 'A', 'P', '0', '\r', '\n'};

enum Opcode : uint8_t {
    Header = 0x01, Footer = 0x02, SchemaOp = 0x03, ChannelOp = 0x04, Message = 0x05, Chunk = 0x06,
    MessageIndex = 0x07, ChunkIndexOp = 0x08, Attachment = 0x09, AttachmentIndexOp = 0x0a,
    Statistics = 0x0b, Metadata = 0x0c, MetadataIndexOp = 0x0d, SummaryOffset = 0x0e, DataEnd = 0x0f,
};

// One record: opcode, a uint64 length filled in by done(), then the fields,
// all little-endian; strings and byte arrays carry their length in front.
class Record {
public:
    explicit Record(uint8_t opcode) { bytes_.push_back(opcode); u64(0); }
    Record& u8(uint8_t v) { bytes_.push_back(v); return *this; }
    Record& u16(uint16_t v) { return little(v, 2); }
    Record& u32(uint32_t v) { return little(v, 4); }
    Record& u64(uint64_t v) { return little(v, 8); }
    Record& raw(const void* data, size_t size)
    {
        const auto* p = static_cast<const uint8_t*>(data);
        bytes_.insert(bytes_.end(), p, p + size);
        return *this;
    }
    Record& str(const std::string& s) { u32(static_cast<uint32_t>(s.size())); return raw(s.data(), s.size()); }
    size_t size() const { return bytes_.size(); }
    const uint8_t* at(size_t offset) const { return bytes_.data() + offset; }
    std::vector<uint8_t> done()
    {
        const uint64_t length = bytes_.size() - 9;
        for (int i = 0; i < 8; ++i)
            bytes_[1 + i] = static_cast<uint8_t>(length >> (8 * i));
        return std::move(bytes_);
    }

private:
    Record& little(uint64_t v, int width)
    {
        for (int i = 0; i < width; ++i)
            bytes_.push_back(static_cast<uint8_t>(v >> (8 * i)));
        return *this;
    }
    std::vector<uint8_t> bytes_;
};

// A string-to-string map: its byte length, then the pairs.
void stringMap(Record& record, const std::vector<std::pair<std::string, std::string>>& values)
{
    uint32_t length = 0;
    for (const auto& [key, value] : values)
        length += static_cast<uint32_t>(8 + key.size() + value.size());
    record.u32(length);
    for (const auto& [key, value] : values)
        record.str(key).str(value);
}

} // namespace

uint32_t crc32(const uint8_t* data, size_t size, uint32_t previous)
{
    // libdeflate's CRC-32 is the one MCAP uses, and uses the processor's carry-less multiply.
    return libdeflate_crc32(previous, data, size);
}

McapWriter::McapWriter(size_t chunkBytes, int zstdLevel) : chunkBytes_(chunkBytes), zstdLevel_(zstdLevel) { }

McapWriter::~McapWriter()
{
    if (fd_ >= 0)
        ::close(fd_);
}

void McapWriter::write(const std::vector<uint8_t>& bytes)
{
    if (error_ != 0 || fd_ < 0)
        return;
    error_ = atomic_file::writeAll(fd_, reinterpret_cast<const char*>(bytes.data()), bytes.size());
    uint32_t& crc = inSummary_ ? summaryCrc_ : dataCrc_;
    crc = crc32(bytes.data(), bytes.size(), crc);
    position_ += bytes.size();
}

bool McapWriter::open(const std::string& path, const std::string& profile, const std::string& library)
{
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        error_ = errno;
        return false;
    }
    write(std::vector<uint8_t>(std::begin(kMagic), std::end(kMagic)));
    write(Record(Header).str(profile).str(library).done());
    return error_ == 0;
}

std::vector<uint8_t> McapWriter::schemaRecord(const Schema& schema)
{
    return Record(SchemaOp).u16(schema.id).str(schema.name).str(schema.encoding).str(schema.data).done();
}

std::vector<uint8_t> McapWriter::channelRecord(const Channel& channel)
{
    Record record(ChannelOp);
    record.u16(channel.id).u16(channel.schemaId).str(channel.topic).str(channel.encoding);
    stringMap(record, {});
    return record.done();
}

uint16_t McapWriter::addSchema(const std::string& name, const std::string& encoding, const std::string& data)
{
    // Schema id 0 means "no schema"; ids start at 1.
    schemas_.push_back({static_cast<uint16_t>(schemas_.size() + 1), name, encoding, data});
    write(schemaRecord(schemas_.back()));
    return schemas_.back().id;
}

uint16_t McapWriter::addChannel(uint16_t schemaId, const std::string& topic, const std::string& messageEncoding)
{
    channels_.push_back({static_cast<uint16_t>(channels_.size()), schemaId, topic, messageEncoding});
    write(channelRecord(channels_.back()));
    return channels_.back().id;
}

bool McapWriter::addMessage(uint16_t channelId, uint64_t logTime, uint64_t publishTime, const std::vector<uint8_t>& data)
{
    if (chunk_.empty() || logTime < chunkStart_)
        chunkStart_ = logTime;
    if (chunk_.empty() || logTime > chunkEnd_)
        chunkEnd_ = logTime;
    chunkIndex_[channelId].emplace_back(logTime, chunk_.size());
    const std::vector<uint8_t> record
        = Record(Message).u16(channelId).u32(sequence_[channelId]++).u64(logTime).u64(publishTime)
              .raw(data.data(), data.size()).done();
    chunk_.insert(chunk_.end(), record.begin(), record.end());
    if (messageCount_ == 0 || logTime < firstTime_)
        firstTime_ = logTime;
    if (messageCount_ == 0 || logTime > lastTime_)
        lastTime_ = logTime;
    ++messageCount_;
    ++messageCounts_[channelId];
    if (chunk_.size() >= chunkBytes_)
        return flushChunk();
    return error_ == 0;
}

bool McapWriter::flushChunk()
{
    if (chunk_.empty())
        return error_ == 0;
    std::vector<uint8_t> compressed(ZSTD_compressBound(chunk_.size()));
    const size_t packed = ZSTD_compress(compressed.data(), compressed.size(), chunk_.data(), chunk_.size(), zstdLevel_);
    if (ZSTD_isError(packed)) {
        error_ = ENOMEM;
        return false;
    }
    ChunkIndex index{};
    index.start = chunkStart_;
    index.end = chunkEnd_;
    index.offset = position_;
    index.compressedSize = packed;
    index.uncompressedSize = chunk_.size();
    write(Record(Chunk).u64(chunkStart_).u64(chunkEnd_).u64(chunk_.size()).u32(crc32(chunk_.data(), chunk_.size()))
              .str("zstd").u64(packed).raw(compressed.data(), packed).done());
    index.length = position_ - index.offset;
    const uint64_t indexesStart = position_;
    for (const auto& [channel, entries] : chunkIndex_) {
        index.messageIndexOffsets[channel] = position_;
        Record record(MessageIndex);
        record.u16(channel).u32(static_cast<uint32_t>(entries.size() * 16));
        for (const auto& [time, offset] : entries)
            record.u64(time).u64(offset);
        write(record.done());
    }
    index.messageIndexLength = position_ - indexesStart;
    chunks_.push_back(std::move(index));
    chunk_.clear();
    chunkIndex_.clear();
    return error_ == 0;
}

bool McapWriter::addAttachment(const std::string& name, const std::string& mediaType, uint64_t logTime, const std::string& data)
{
    if (!flushChunk())
        return false;
    Record record(Attachment);
    record.u64(logTime).u64(logTime).str(name).str(mediaType).u64(data.size()).raw(data.data(), data.size());
    record.u32(crc32(record.at(9), record.size() - 9));
    attachments_.push_back({position_, 0, logTime, data.size(), name, mediaType});
    write(record.done());
    attachments_.back().length = position_ - attachments_.back().offset;
    return error_ == 0;
}

bool McapWriter::addMetadata(const std::string& name, const std::vector<std::pair<std::string, std::string>>& values)
{
    if (!flushChunk())
        return false;
    Record record(Metadata);
    record.str(name);
    stringMap(record, values);
    metadata_.push_back({position_, 0, name});
    write(record.done());
    metadata_.back().length = position_ - metadata_.back().offset;
    return error_ == 0;
}

bool McapWriter::close()
{
    flushChunk();
    write(Record(DataEnd).u32(dataCrc_).done());
    inSummary_ = true;

    // The summary: groups of one record kind, each found through its offset.
    const uint64_t summaryStart = position_;
    std::vector<std::pair<uint8_t, std::pair<uint64_t, uint64_t>>> groups;
    auto group = [&](uint8_t opcode, std::vector<std::vector<uint8_t>> records) {
        if (records.empty())
            return;
        const uint64_t start = position_;
        for (const auto& r : records)
            write(r);
        groups.push_back({opcode, {start, position_ - start}});
    };
    std::vector<std::vector<uint8_t>> records;
    for (const auto& schema : schemas_)
        records.push_back(schemaRecord(schema));
    group(SchemaOp, std::move(records));
    records.clear();
    for (const auto& channel : channels_)
        records.push_back(channelRecord(channel));
    group(ChannelOp, std::move(records));
    records.clear();

    Record statistics(Statistics);
    statistics.u64(messageCount_).u16(static_cast<uint16_t>(schemas_.size())).u32(static_cast<uint32_t>(channels_.size()))
        .u32(static_cast<uint32_t>(attachments_.size())).u32(static_cast<uint32_t>(metadata_.size()))
        .u32(static_cast<uint32_t>(chunks_.size())).u64(firstTime_).u64(lastTime_);
    statistics.u32(static_cast<uint32_t>(messageCounts_.size() * 10));
    for (const auto& [channel, count] : messageCounts_)
        statistics.u16(channel).u64(count);
    records.push_back(statistics.done());
    group(Statistics, std::move(records));
    records.clear();

    for (const auto& chunk : chunks_) {
        Record record(ChunkIndexOp);
        record.u64(chunk.start).u64(chunk.end).u64(chunk.offset).u64(chunk.length)
            .u32(static_cast<uint32_t>(chunk.messageIndexOffsets.size() * 10));
        for (const auto& [channel, offset] : chunk.messageIndexOffsets)
            record.u16(channel).u64(offset);
        record.u64(chunk.messageIndexLength).str("zstd").u64(chunk.compressedSize).u64(chunk.uncompressedSize);
        records.push_back(record.done());
    }
    group(ChunkIndexOp, std::move(records));
    records.clear();
    for (const auto& a : attachments_)
        records.push_back(Record(AttachmentIndexOp).u64(a.offset).u64(a.length).u64(a.logTime).u64(a.logTime)
                              .u64(a.dataSize).str(a.name).str(a.mediaType).done());
    group(AttachmentIndexOp, std::move(records));
    records.clear();
    for (const auto& m : metadata_)
        records.push_back(Record(MetadataIndexOp).u64(m.offset).u64(m.length).str(m.name).done());
    group(MetadataIndexOp, std::move(records));

    const uint64_t offsetsStart = position_;
    for (const auto& [opcode, range] : groups)
        write(Record(SummaryOffset).u8(opcode).u64(range.first).u64(range.second).done());

    // The summary CRC covers the summary and the footer up to the CRC itself.
    Record footer(Footer);
    footer.u64(summaryStart).u64(offsetsStart);
    std::vector<uint8_t> tail = footer.done();
    for (int i = 0; i < 8; ++i)  // the footer's length counts the CRC too
        tail[1 + i] = static_cast<uint8_t>(uint64_t{20} >> (8 * i));
    const uint32_t summaryCrc = crc32(tail.data(), tail.size(), summaryCrc_);
    for (int i = 0; i < 4; ++i)
        tail.push_back(static_cast<uint8_t>(summaryCrc >> (8 * i)));
    write(tail);
    write(std::vector<uint8_t>(std::begin(kMagic), std::end(kMagic)));

    if (error_ == 0 && ::fsync(fd_) != 0)
        error_ = errno;
    if (::close(fd_) != 0 && error_ == 0)
        error_ = errno;
    fd_ = -1;
    return error_ == 0;
}

} // namespace mcap_export
