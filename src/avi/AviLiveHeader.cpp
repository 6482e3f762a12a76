// Keeps an AVI file that libavformat is still writing readable after every frame.
#include "avi/AviLiveHeader.h"

#include <algorithm>
#include <array>
#include <cstring>

#include <unistd.h>

#include <QtEndian>

#include "av/CaptureLog.h"
#include "avi/DurableFile.h"

namespace avi {

namespace {

constexpr std::uint32_t kNotKeyFrame = 0x80000000u;
constexpr std::uint32_t kOdmlListBytes = 4 + 8 + 248;  // "odml" and a dmlh chunk of 248 bytes
constexpr std::int64_t kStdIndexHeader = 24;   // after the chunk's tag and size
constexpr std::int64_t kSuperIndexHeader = 24;
constexpr std::int64_t kSuperIndexEntry = 16;

std::uint32_t Tag(const char* t) { return qFromLittleEndian<std::uint32_t>(t); }

// Bytes of a standard index chunk with room for `entries` frames: tag, size, header, entries.
std::int64_t IndexChunkBytes(std::uint32_t entries) {
    return 8 + kStdIndexHeader + 8 * static_cast<std::int64_t>(entries);
}

bool ReadAt(int fd, std::int64_t offset, void* out, std::size_t size) {
    return ::pread(fd, out, size, offset) == static_cast<ssize_t>(size);
}

bool WriteAt(int fd, std::int64_t offset, const void* data, std::size_t size) {
    return ::pwrite(fd, data, size, offset) == static_cast<ssize_t>(size);
}

bool WriteLe32At(int fd, std::int64_t offset, std::uint32_t value) {
    std::array<std::uint8_t, 4> bytes{};
    qToLittleEndian(value, bytes.data());
    return WriteAt(fd, offset, bytes.data(), bytes.size());
}

// A chunk header read from the file: its tag, its size and, for lists, the list's type.
struct Chunk {
    std::uint32_t tag = 0;
    std::uint32_t size = 0;
    std::uint32_t type = 0;
    std::int64_t next = 0;  // offset of the chunk that follows it
};

bool ReadChunk(int fd, std::int64_t at, Chunk* out) {
    std::array<std::uint8_t, 12> b{};
    if (!ReadAt(fd, at, b.data(), b.size()))
        return false;
    out->tag = qFromLittleEndian<std::uint32_t>(b.data());
    out->size = qFromLittleEndian<std::uint32_t>(b.data() + 4);
    out->type = qFromLittleEndian<std::uint32_t>(b.data() + 8);
    out->next = at + 8 + out->size + (out->size & 1);
    return true;
}

// Little-endian bytes appended to a buffer, for the index chunks.
class Bytes {
public:
    void u8(std::uint8_t v) { data_.push_back(v); }
    void u16(std::uint16_t v) { append(v); }
    void u32(std::uint32_t v) { append(v); }
    void u64(std::uint64_t v) { append(v); }
    const std::vector<std::uint8_t>& data() const { return data_; }

private:
    template <typename T>
    void append(T v) {
        std::array<std::uint8_t, sizeof(T)> b{};
        qToLittleEndian(v, b.data());
        data_.insert(data_.end(), b.begin(), b.end());
    }
    std::vector<std::uint8_t> data_;
};

}  // namespace

bool AviLiveHeader::attach(int fd, std::uint32_t segmentFrames, int (*syncFile)(int)) {
    fd_ = fd;
    syncFile_ = syncFile;
    segmentFrames_ = segmentFrames;
    Chunk riff;
    if (!ReadChunk(fd, 0, &riff) || riff.tag != Tag("RIFF") || riff.type != Tag("AVI ")) {
        detach("the file does not begin with an AVI RIFF");
        return false;
    }
    // RIFF AVI: LIST hdrl (avih, LIST strl (strh, strf, super-index room, ...), odml room),
    // maybe more, then LIST movi.
    std::int64_t at = 12;
    Chunk c;
    while (open_.moviList == 0 && ReadChunk(fd, at, &c)) {
        if (c.tag == Tag("LIST") && c.type == Tag("movi")) {
            open_.moviList = at;
            break;
        }
        if (c.tag == Tag("LIST") && c.type == Tag("hdrl")) {
            std::int64_t h = at + 12;
            Chunk hc;
            while (h < c.next && ReadChunk(fd, h, &hc)) {
                if (hc.tag == Tag("avih")) {
                    totalFramesAt_ = h + 8 + 16;
                } else if (hc.tag == Tag("LIST") && hc.type == Tag("strl")) {
                    std::int64_t s = h + 12;
                    Chunk sc;
                    bool afterFormat = false;
                    while (s < hc.next && ReadChunk(fd, s, &sc)) {
                        if (sc.tag == Tag("strh") && sc.type == Tag("vids"))
                            streamLengthAt_ = s + 8 + 32;
                        if (afterFormat && superIndexAt_ < 0 &&
                            (sc.tag == Tag("JUNK") || sc.tag == Tag("indx")) &&
                            sc.size >= kSuperIndexHeader + kSuperIndexEntry) {
                            superIndexAt_ = s;
                            superIndexSlots_ = static_cast<std::uint32_t>(
                                (sc.size - kSuperIndexHeader) / kSuperIndexEntry);
                        }
                        afterFormat = afterFormat || sc.tag == Tag("strf");
                        s = sc.next;
                    }
                } else if (odmlAt_ < 0 && hc.tag == Tag("JUNK") && hc.size == kOdmlListBytes) {
                    odmlAt_ = h;
                }
                h = hc.next;
            }
        }
        at = c.next;
    }
    // The RIFF size and both frame counts must change in one sector (writeFirstRiff).
    if (open_.moviList == 0 || totalFramesAt_ < 0 || streamLengthAt_ < 0 ||
        std::max(totalFramesAt_, streamLengthAt_) + 4 > kSectorBytes) {
        detach("unexpected AVI header layout");
        return false;
    }
    headerBytes_ = open_.moviList + 12;
    // The copy is what a failed frame is rolled back to: without it nothing may be rolled back.
    if (!saveHeader()) {
        detach("cannot read back the AVI header");
        return false;
    }
    attached_ = true;
    return true;
}

void AviLiveHeader::detach(const char* why) {
    qCWarning(lcCapture) << why << "; an unfinished file keeps libavformat's placeholders";
    attached_ = false;
}

bool AviLiveHeader::saveHeader() {
    savedHeader_.resize(static_cast<std::size_t>(headerBytes_));
    return ReadAt(fd_, 0, savedHeader_.data(), savedHeader_.size());
}

std::int64_t AviLiveHeader::sealFullSegment() {
    const std::size_t count = open_.entries.size() / 2;
    // Entries stay free for the RIFFs still to come, which libavformat numbers one by one.
    constexpr std::uint32_t kSpareSlots = 8;
    if (!attached_ || open_.slot == 0 || segmentFrames_ == 0 || count < segmentFrames_ ||
        open_.slot + open_.sealed + 1 + kSpareSlots >= superIndexSlots_)
        return 0;
    ++open_.sealed;
    sealedEntries_ = std::move(open_.entries);
    open_.entries.clear();
    sealedThisFrame_ = true;
    return IndexChunkBytes(static_cast<std::uint32_t>(count));
}

bool AviLiveHeader::barrier() const { return SyncData(fd_, syncFile_); }

bool AviLiveHeader::prepareFrame(std::int64_t before, std::uint32_t dataBytes, bool key) {
    prepared_ = -1;
    if (!attached_ || open_.slot == 0 || open_.entries.empty())
        return true;  // a first RIFF is read by walking it; its sizes stay true meanwhile
    const std::int64_t at = before + 8 + dataBytes + (dataBytes & 1);
    std::vector<std::uint32_t> entries = open_.entries;
    entries.push_back(static_cast<std::uint32_t>(before + 8 - (open_.moviList + 8)));
    entries.push_back(dataBytes | (key ? 0 : kNotKeyFrame));
    const auto inUse = static_cast<std::uint32_t>(open_.entries.size() / 2);
    if (!writeIndex(at, entries, inUse) || !barrier() || !pointAtIndex(at, inUse + 1, inUse) ||
        !barrier())
        return false;
    prepared_ = at;
    return true;
}

void AviLiveHeader::noteFrame(std::int64_t before, std::int64_t end, std::uint32_t dataBytes,
                              bool key) {
    openedRiff_ = frames_ == 0;
    notedChunkAt_ = -1;
    ++frames_;
    if (!attached_)
        return;
    const std::int64_t chunkAt = end - (8 + dataBytes + (dataBytes & 1));
    if (chunkAt != before) {
        // More than the packet: libavformat closed the RIFF (its index, and for the first one
        // the legacy idx1) and opened an "AVIX" RIFF with its movi list right before the packet.
        Chunk riff;
        Chunk movi;
        const bool newRiff = chunkAt - 24 >= before && ReadChunk(fd_, chunkAt - 24, &riff) &&
                             riff.tag == Tag("RIFF") && riff.type == Tag("AVIX") &&
                             ReadChunk(fd_, chunkAt - 12, &movi) && movi.tag == Tag("LIST") &&
                             movi.type == Tag("movi");
        if (!newRiff || superIndexAt_ < 0 || odmlAt_ < 0) {
            detach("libavformat wrote more than the frame in a way not known here");
            return;
        }
        closed_ = std::move(open_);
        open_ = Riff{chunkAt - 24, chunkAt - 12, closed_.slot + 1, 0, {}};
        openedRiff_ = true;
    }
    Chunk packet;
    if (!ReadChunk(fd_, chunkAt, &packet) || packet.size != dataBytes ||
        (chunkId_ != 0 && packet.tag != chunkId_)) {
        detach("the frame's chunk is not where libavformat's packet should be");
        return;
    }
    chunkId_ = packet.tag;
    notedChunkAt_ = chunkAt;
    // Standard-index entries point at the data, counted from the movi list's type tag.
    open_.entries.push_back(static_cast<std::uint32_t>(chunkAt + 8 - (open_.moviList + 8)));
    open_.entries.push_back(dataBytes | (key ? 0 : kNotKeyFrame));
}

bool AviLiveHeader::hideFrame() {
    if (!attached_ || notedChunkAt_ < 0)
        return true;
    if (!WriteLe32At(fd_, notedChunkAt_, Tag("JUNK")))
        return false;
    hiddenAt_ = notedChunkAt_;
    return true;
}

bool AviLiveHeader::reveal() {
    if (hiddenAt_ < 0)
        return true;
    const std::int64_t at = hiddenAt_;
    hiddenAt_ = -1;
    return WriteLe32At(fd_, at, chunkId_);
}

bool AviLiveHeader::commit(std::int64_t end) {
    if (!attached_)
        return true;
    const bool ok = open_.slot == 0 ? writeFirstRiff(end) : writeOpenDmlRiff(end);
    if (!ok || !saveHeader())
        return false;
    sealedThisFrame_ = false;
    sealedEntries_.clear();
    return true;
}

bool AviLiveHeader::writeFirstRiff(std::int64_t end) {
    // Readers walk the movi list of a first RIFF without index; its sizes and the counts
    // must say how far. The movi list grows first: a RIFF that ends past its movi list
    // holds no frames to mediainfo. The RIFF size and both counts then change in one write
    // within the first sector, so that no reader sees them disagree.
    const auto frames = static_cast<std::uint32_t>(frames_);
    const auto last = static_cast<std::size_t>(std::max(totalFramesAt_, streamLengthAt_) + 4);
    std::vector<std::uint8_t> head(savedHeader_.begin(), savedHeader_.begin() + last);
    qToLittleEndian(static_cast<std::uint32_t>(end - 8), head.data() + 4);
    qToLittleEndian(frames, head.data() + totalFramesAt_);
    qToLittleEndian(frames, head.data() + streamLengthAt_);
    return WriteLe32At(fd_, open_.moviList + 4,
                       static_cast<std::uint32_t>(end - (open_.moviList + 8))) &&
           barrier() && reveal() && WriteAt(fd_, 4, head.data() + 4, head.size() - 4);
}

bool AviLiveHeader::writeIndex(std::int64_t at, const std::vector<std::uint32_t>& entries,
                               std::uint32_t inUse) {
    Bytes index;
    index.u32(Tag("ix00"));
    index.u32(static_cast<std::uint32_t>(kStdIndexHeader + 4 * entries.size()));
    index.u16(2);  // longs per entry
    index.u8(0);   // sub-type
    index.u8(1);   // an index of chunks
    index.u32(inUse);
    index.u32(chunkId_);
    index.u64(static_cast<std::uint64_t>(open_.moviList + 8));
    index.u32(0);
    for (std::uint32_t v : entries)
        index.u32(v);
    return WriteAt(fd_, at, index.data().data(), index.data().size());
}

bool AviLiveHeader::pointAtIndex(std::int64_t at, std::uint32_t capacity, std::uint32_t inUse) {
    const std::int64_t indexBytes = IndexChunkBytes(capacity);
    const std::int64_t indexEnd = at + indexBytes;
    const std::uint32_t slot = open_.slot + open_.sealed;
    std::array<std::uint8_t, 12> head{};  // the super index's size, ..., its entries in use
    if (!ReadAt(fd_, superIndexAt_ + 4, head.data(), head.size()))
        return false;
    Bytes super;
    super.u32(Tag("indx"));
    super.u32(qFromLittleEndian<std::uint32_t>(head.data()));
    super.u16(4);  // longs per entry
    super.u8(0);
    super.u8(0);   // an index of indexes
    super.u32(slot + 1);
    super.u32(chunkId_);
    super.u32(0);
    super.u32(0);
    super.u32(0);
    Bytes entry;
    entry.u64(static_cast<std::uint64_t>(at));
    entry.u32(static_cast<std::uint32_t>(indexBytes));
    entry.u32(inUse);

    Bytes odml;
    odml.u32(Tag("LIST"));
    odml.u32(kOdmlListBytes);
    odml.u32(Tag("odml"));
    odml.u32(Tag("dmlh"));
    odml.u32(248);
    odml.u32(static_cast<std::uint32_t>(frames_));

    if (!WriteLe32At(fd_, open_.start + 4,
                     static_cast<std::uint32_t>(indexEnd - (open_.start + 8))) ||
        !WriteLe32At(fd_, open_.moviList + 4,
                     static_cast<std::uint32_t>(indexEnd - (open_.moviList + 8))))
        return false;
    if (slot >= superIndexSlots_) {
        // libavformat reports this itself; the frames are still found by walking the lists.
        qCWarning(lcCapture) << "no room left in the super index for RIFF" << open_.slot;
    } else {
        // A new entry is durable before the count of entries in use takes it in.
        const bool grows = slot + 1 > qFromLittleEndian<std::uint32_t>(head.data() + 8);
        const std::int64_t entryAt =
            superIndexAt_ + 8 + kSuperIndexHeader + kSuperIndexEntry * slot;
        if (!WriteAt(fd_, entryAt, entry.data().data(), entry.data().size()) ||
            (grows && !barrier()))
            return false;
    }
    // From here on every reader takes the frame in, in adjacent writes (see hideFrame).
    if (!reveal() || (slot < superIndexSlots_ &&
                      !WriteAt(fd_, superIndexAt_, super.data().data(), super.data().size())))
        return false;
    return WriteAt(fd_, odmlAt_, odml.data().data(), odml.data().size()) &&
           WriteLe32At(fd_, streamLengthAt_, static_cast<std::uint32_t>(frames_));
}

bool AviLiveHeader::writeOpenDmlRiff(std::int64_t end) {
    // Readers of an OpenDML file take its frames from the super index alone, so the open
    // RIFF needs its standard index and an entry there, as libavformat writes them at the
    // next RIFF or the trailer.
    const auto count = static_cast<std::uint32_t>(open_.entries.size() / 2);
    if (prepared_ == end) {
        // The copy prepareFrame wrote lists the frame already: only the counts go up.
        prepared_ = -1;
        return WriteLe32At(fd_, end + 8 + 4, count) && pointAtIndex(end, count, count);
    }
    // A fresh index (the first frame of a RIFF or of a segment): whole before it is pointed at.
    return writeIndex(end, open_.entries, count) && barrier() && pointAtIndex(end, count, count);
}

bool AviLiveHeader::rollBack(std::int64_t before, bool noted) {
    hiddenAt_ = -1;  // the failed frame's chunk is cut off or overwritten, hidden or not
    if (noted) {
        --frames_;
        if (attached_) {
            if (openedRiff_ && open_.slot > 0) {
                open_ = std::move(closed_);
                closed_ = Riff{};
            } else if (open_.entries.size() >= 2) {
                open_.entries.resize(open_.entries.size() - 2);
            }
        }
    }
    if (sealedThisFrame_) {
        // The segment sealed for this frame is the open one again.
        open_.entries = std::move(sealedEntries_);
        --open_.sealed;
        sealedThisFrame_ = false;
    }
    prepared_ = -1;
    if (!attached_)
        return ::ftruncate(fd_, before) == 0;
    // What the failed frame changed in the header (libavformat's roll-over rewrites the super
    // index and counters) goes back, and the open RIFF is described up to before again; the
    // file is cut only once nothing durable points past the cut.
    if (open_.slot == 0)
        return WriteAt(fd_, 0, savedHeader_.data(), savedHeader_.size()) && barrier() &&
               ::ftruncate(fd_, before) == 0;
    const auto count = static_cast<std::uint32_t>(open_.entries.size() / 2);
    const std::int64_t end = before + IndexChunkBytes(count);
    if (!writeIndex(before, open_.entries, count) || !barrier() ||
        !WriteAt(fd_, 0, savedHeader_.data(), savedHeader_.size()) ||
        !pointAtIndex(before, count, count) || !barrier() || ::ftruncate(fd_, end) != 0)
        return false;
    return saveHeader();
}

}  // namespace avi
