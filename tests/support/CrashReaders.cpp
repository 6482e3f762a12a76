// Readers of crash states: libavformat in process, FFmpeg, mediainfo and GStreamer outside.
#include "support/CrashReaders.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "av/AvHandles.h"

namespace crashreaders {

namespace {

using av::InputContextPtr;
using av::IoContextPtr;

struct Cursor {
    const crash::SparseFile* file;
    std::int64_t at = 0;
    bool* scanned = nullptr;  // set when the demuxer ran into a hopeless hole
};

// A demuxer that meets zeros where it expects a chunk reads on 8 bytes at a time; in the
// GiB hole of a file made with the RIFF test knob that takes seconds per crash state. Zeros
// that go on this far hold no frame: the in-process reader ends the file there.
constexpr std::int64_t kHopelessHole = std::int64_t{64} << 20;

int ReadCursor(void* opaque, std::uint8_t* buf, int size) {
    auto* c = static_cast<Cursor*>(opaque);
    if (c->file->nextData(c->at) - c->at > kHopelessHole) {
        if (c->scanned)
            *c->scanned = true;
        return AVERROR_EOF;
    }
    const std::string bytes = c->file->read(c->at, size);
    if (bytes.empty())
        return AVERROR_EOF;
    std::memcpy(buf, bytes.data(), bytes.size());
    c->at += static_cast<std::int64_t>(bytes.size());
    return static_cast<int>(bytes.size());
}

std::int64_t SeekCursor(void* opaque, std::int64_t offset, int whence) {
    auto* c = static_cast<Cursor*>(opaque);
    switch (whence & ~AVSEEK_FORCE) {
    case AVSEEK_SIZE: return c->file->size();
    case SEEK_SET: c->at = offset; break;
    case SEEK_CUR: c->at += offset; break;
    case SEEK_END: c->at = c->file->size() + offset; break;
    default: return -1;
    }
    return c->at;
}

// Runs a reader; true when it ended by itself with status 0 in time. A batch that takes long
// is read again file by file (see Wanted).
bool RunTool(const QString& program, const QStringList& args, int files,
             QByteArray* out = nullptr) {
    QProcess p;
    // The readers are not the process under test: no journal shim in them.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("LD_PRELOAD");
    p.setProcessEnvironment(env);
    p.setStandardErrorFile(QProcess::nullDevice());
    if (out == nullptr)
        p.setStandardOutputFile(QProcess::nullDevice());
    p.start(program, args);
    const bool finished = p.waitForFinished(files > 1 ? 5000 + 500 * files : 120000);
    if (!finished) {
        qWarning().noquote() << program << "did not end in time on" << files << "files";
        p.kill();
        p.waitForFinished();
    }
    if (out)
        *out = p.readAllStandardOutput();
    return finished && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

QString Md5(const QByteArray& bytes) {
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
}

// FFmpeg decodes every file into a frame-hash list of its own.
Reading ParseFrameMd5(const QString& path) {
    QFile f(path);
    Reading r;
    if (!f.open(QIODevice::ReadOnly))
        return r;
    r.frames = 0;
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        ++r.frames;
        r.hashes.push_back(line.split(',').last().trimmed().toStdString());
    }
    return r;
}

bool RunFfmpeg(const std::vector<Wanted>& files, const QString& scratch,
               std::vector<Reading>* out) {
    const int count = static_cast<int>(files.size());
    QStringList args{"-v", "quiet", "-nostdin", "-y"};
    for (const Wanted& f : files)
        args << "-threads" << "1" << "-i" << f.path;
    for (int i = 0; i < count; ++i)
        args << "-map" << QString("%1:v:0").arg(i) << "-fps_mode" << "passthrough" << "-frames:v"
             << QString::number(files[static_cast<std::size_t>(i)].frames) << "-f" << "framemd5"
             << QString("%1/ffmpeg%2.txt").arg(scratch).arg(i);
    for (int i = 0; i < count; ++i)
        QFile::remove(QString("%1/ffmpeg%2.txt").arg(scratch).arg(i));
    const bool ok = RunTool("ffmpeg", args, count);
    for (int i = 0; i < count; ++i)
        out->push_back(ParseFrameMd5(QString("%1/ffmpeg%2.txt").arg(scratch).arg(i)));
    return ok;
}

bool RunMediainfo(const std::vector<Wanted>& files, std::vector<Reading>* out) {
    QStringList paths;
    for (const Wanted& f : files)
        paths << f.path;
    QByteArray json;
    const bool ok = RunTool("mediainfo", QStringList{"--Output=JSON"} + paths,
                            static_cast<int>(paths.size()), &json);
    const QJsonDocument doc = QJsonDocument::fromJson(json);
    QJsonArray all = doc.isArray() ? doc.array() : QJsonArray{doc.object()};
    for (const QString& path : paths) {
        Reading r;
        for (const QJsonValue& file : all) {
            const QJsonObject media = file.toObject()["media"].toObject();
            if (media["@ref"].toString() != path)
                continue;
            for (const QJsonValue& track : media["track"].toArray())
                if (track.toObject()["@type"].toString() == "Video") {
                    bool counted = false;
                    const int n = track.toObject()["FrameCount"].toString().toInt(&counted);
                    r.frames = counted ? n : -1;
                }
        }
        out->push_back(r);
    }
    return ok;
}

bool RunGstreamer(const std::vector<Wanted>& files, const QString& scratch,
                  std::vector<Reading>* out) {
    const int count = static_cast<int>(files.size());
    QStringList args;
    for (int i = 0; i < count; ++i) {
        QDir dir(QString("%1/gst%2").arg(scratch).arg(i));
        dir.removeRecursively();
        QDir().mkpath(dir.path());
        const Wanted& f = files[static_cast<std::size_t>(i)];
        // identity ends the stream in place of the buffer numbered eos-after.
        args << "filesrc" << "location=" + f.path << "!" << "avidemux" << "!" << "identity"
             << QString("eos-after=%1").arg(f.frames + 1) << "!" << "multifilesink"
             << "location=" + dir.path() + "/%05d";
    }
    const bool ok = RunTool("gst-launch-1.0", args, count);
    for (int i = 0; i < count; ++i) {
        QDir dir(QString("%1/gst%2").arg(scratch).arg(i));
        Reading r;
        r.frames = 0;
        for (const QString& leaf : dir.entryList(QDir::Files, QDir::Name)) {
            QFile f(dir.filePath(leaf));
            ++r.frames;
            r.hashes.push_back(f.open(QIODevice::ReadOnly) ? Md5(f.readAll()).toStdString() : "");
        }
        out->push_back(r);
    }
    return ok;
}

bool RunBatch(Reader reader, const std::vector<Wanted>& files, const QString& scratch,
              std::vector<Reading>* out) {
    switch (reader) {
    case Reader::Ffmpeg: return RunFfmpeg(files, scratch, out);
    case Reader::Mediainfo: return RunMediainfo(files, out);
    case Reader::Gstreamer: return RunGstreamer(files, scratch, out);
    }
    return false;
}

}  // namespace

std::optional<std::vector<std::string>> LibavformatPackets(const crash::SparseFile& file,
                                                           std::size_t wanted, bool* scanned) {
    constexpr int kBufferBytes = 32 * 1024;
    Cursor cursor{&file, 0, scanned};
    auto* buffer = static_cast<std::uint8_t*>(av_malloc(kBufferBytes));
    IoContextPtr io(buffer ? avio_alloc_context(buffer, kBufferBytes, 0, &cursor, &ReadCursor,
                                                nullptr, &SeekCursor)
                           : nullptr);
    if (!io) {
        av_free(buffer);
        return std::nullopt;
    }
    AVFormatContext* raw = avformat_alloc_context();
    if (raw == nullptr)
        return std::nullopt;
    raw->pb = io.get();
    raw->flags |= AVFMT_FLAG_CUSTOM_IO;
    if (avformat_open_input(&raw, nullptr, nullptr, nullptr) < 0)
        return std::nullopt;  // avformat_open_input freed the context
    InputContextPtr input(raw);
    std::vector<std::string> packets;
    av::PacketPtr packet = av::MakePacket();
    while (packets.size() < wanted && packet && av_read_frame(input.get(), packet.get()) >= 0) {
        if (packet->stream_index == 0)
            packets.emplace_back(reinterpret_cast<const char*>(packet->data),
                                 static_cast<std::size_t>(packet->size));
        av_packet_unref(packet.get());
    }
    return packets;
}

const char* ReaderName(Reader reader) {
    switch (reader) {
    case Reader::Ffmpeg: return "ffmpeg";
    case Reader::Mediainfo: return "mediainfo";
    case Reader::Gstreamer: return "GStreamer";
    }
    return "?";
}

std::vector<Reading> ReadFiles(Reader reader, const std::vector<Wanted>& files,
                               const QString& scratch) {
    constexpr std::size_t kBatch = 40;
    std::vector<Reading> out(files.size());
    std::vector<std::size_t> batched;
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (!files[i].alone) {
            batched.push_back(i);
            continue;
        }
        std::vector<Reading> got;
        RunBatch(reader, {files[i]}, scratch, &got);
        out[i] = got.front();
    }
    for (std::size_t from = 0; from < batched.size(); from += kBatch) {
        const std::size_t to = std::min(batched.size(), from + kBatch);
        std::vector<Wanted> batch;
        for (std::size_t j = from; j < to; ++j)
            batch.push_back(files[batched[j]]);
        std::vector<Reading> got;
        if (!RunBatch(reader, batch, scratch, &got) && batch.size() > 1) {
            got.clear();
            for (const Wanted& f : batch)
                RunBatch(reader, {f}, scratch, &got);
        }
        for (std::size_t j = from; j < to; ++j)
            out[batched[j]] = got[j - from];
    }
    return out;
}

bool WriteSparse(const QString& path, const crash::SparseFile& file) {
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    bool ok = ::ftruncate(fd, file.size()) == 0;
    for (const auto& [sector, bytes] : file.sectors()) {
        const std::int64_t at = sector * crash::kSectorBytes;
        const auto n = static_cast<std::size_t>(std::min<std::int64_t>(
            static_cast<std::int64_t>(bytes.size()), file.size() - at));
        ok = ok && (at >= file.size() ||
                    ::pwrite(fd, bytes.data(), n, at) == static_cast<ssize_t>(n));
    }
    return ::close(fd) == 0 && ok;
}

std::vector<std::pair<std::int64_t, std::int64_t>> AviPointerRanges(const crash::SparseFile& file) {
    std::vector<std::pair<std::int64_t, std::int64_t>> ranges;
    auto le32 = [&](std::int64_t at) {
        const std::string b = file.read(at, 4);
        std::uint32_t v = 0;
        std::memcpy(&v, b.data(), std::min<std::size_t>(4, b.size()));
        return v;
    };
    // Each RIFF's own chunks: the movi list ends the part that counts and points.
    for (std::int64_t riff = 0; file.read(riff, 4) == "RIFF";) {
        const std::int64_t end = riff + 8 + le32(riff + 4);
        for (std::int64_t at = riff + 12; at + 12 <= end;) {
            if (file.read(at, 4) == "LIST" && file.read(at + 8, 4) == "movi") {
                ranges.emplace_back(riff, at + 12);
                break;
            }
            at += 8 + le32(at + 4) + (le32(at + 4) & 1);
        }
        riff = end + (end & 1);
    }
    return ranges;
}

}  // namespace crashreaders
