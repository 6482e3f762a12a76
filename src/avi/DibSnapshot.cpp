// Bitmap snapshots of the current frame, encoded by libavcodec's BMP encoder.
#include "avi/DibSnapshot.h"

#include <cerrno>
#include <cstring>

#include <unistd.h>

#include "av/CaptureLog.h"
#include "avi/DurableFile.h"

namespace avi {

namespace {

bool EncodeBmp(const picture::CapturedImage& image, av::PacketPtr* out) {
    picture::Scaler scaler;
    av::FramePtr frame = picture::ImageToFormat(image, AV_PIX_FMT_BGR24, scaler);
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_BMP);
    av::CodecContextPtr ctx(codec ? avcodec_alloc_context3(codec) : nullptr);
    if (!frame || !ctx)
        return false;
    ctx->width = frame->width;
    ctx->height = frame->height;
    ctx->pix_fmt = AV_PIX_FMT_BGR24;
    ctx->time_base = {1, 1};
    *out = av::MakePacket();
    if (!*out || avcodec_open2(ctx.get(), codec, nullptr) < 0 ||
        avcodec_send_frame(ctx.get(), frame.get()) < 0)
        return false;
    return avcodec_receive_packet(ctx.get(), out->get()) >= 0;
}

}  // namespace

bool SaveDibSnapshot(const std::string& path, const picture::CapturedImage& image) {
    const QString name = QString::fromStdString(path);
    if (image.empty()) {
        qCWarning(lcCapture).noquote() << "no frame to save as" << name;
        return false;
    }
    av::PacketPtr bmp;
    if (!EncodeBmp(image, &bmp)) {
        qCWarning(lcCapture).noquote() << "cannot encode the frame as BMP for" << name;
        return false;
    }
    // Written without a name and named once whole, where the file system allows: a snapshot
    // cut short by a kill or a power cut then leaves no name behind.
    DurableFile file = DurableFile::Create(path);
    if (!file.isOpen()) {
        qCWarning(lcCapture).noquote() << "cannot create" << name << ":" << std::strerror(errno);
        return false;
    }
    const bool ok =
        file.writeAll(bmp->data, static_cast<std::size_t>(bmp->size)) && file.sync() && file.name();
    if (!ok) {
        const int error = errno;
        // A bitmap cut short is no bitmap; leave nothing behind (an unnamed one has no name).
        file.removeName();
        qCWarning(lcCapture).noquote() << "cannot write" << name << ":" << std::strerror(error);
        return false;
    }
    qCInfo(lcCapture).noquote() << "saved" << name;
    return true;
}

}  // namespace avi
