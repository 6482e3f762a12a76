// A fake UVC-like V4L2 webcam for tests, loaded with LD_PRELOAD.
//
// The plain files named in FAKE_V4L2_DEVICE (several separated by ':') become video capture
// devices: open/openat (and their 64-bit and fortified variants), close, ioctl, mmap, munmap,
// poll, select and read are interposed for descriptors of those files; every other
// descriptor passes straight to libc. A camera is known by its file's inode, so a test can
// rename the file (a camera back under another /dev/videoN) and it stays the same camera.
// Tools that check what a node is see more: stat()/fstat() report a camera's file as the
// character device 81:index, and its /sys/dev/char/81:index/uevent (read with fopen) names
// a video node. Camera state lives in the process that opened it.
//
// What the camera offers, like a common USB webcam:
//   formats YUYV and MJPEG; 320x240, 640x480, 1280x720 (MJPEG also 1920x1080); 30 and 15 fps
//   (FAKE_V4L2_FRAME_RATES lists others, as "15,30" or "1/2" for one frame in two seconds),
//   starting at the first rate listed (a camera that the last program left at a low rate);
//   the streaming API over mmap buffers, CLOCK_MONOTONIC time stamps, non-blocking DQBUF
//   answering EAGAIN until the next frame is due, poll/select readiness at the frame rate;
//   controls Brightness (integer, shifts the picture), White Balance Automatic (boolean),
//   Power Line Frequency (menu), Gain (read-only) and Hue (disabled).
//
// As the kernel: an ioctl whose argument cannot be read fails with EFAULT; each descriptor
// has an access priority (changes need the highest held, EBUSY otherwise); only the owner of
// the buffer queue may queue, stream or stop it, anyone may query it; control events can be
// subscribed to (V4L2_EVENT_CTRL, with poll reporting POLLPRI); a camera that comes back
// after an unplug has forgotten its control values, as a re-plugged webcam has.
// v4l2-compliance passes, with these differences from a real driver:
//   - Hue carries the DISABLED flag, which the kernel's control framework never sets any
//     more and v4l2-compliance fails; it is there so that the program is seen to skip such a
//     control. FAKE_V4L2_NO_DISABLED_CONTROL=1 leaves it out, so the rest can be checked.
//   - VIDIOC_CREATE_BUFS is not offered (a warning): the program allocates with REQBUFS.
//   - REQBUFS(0) frees buffers that are still mapped (a warning; the kernel refuses with
//     EBUSY): the fake's buffers are its own memory, which stays valid anyway.
//   - the descriptors are plain files, which epoll cannot watch, so "-s" fails its epoll
//     test: poll and select are interposed, and that is what FFmpeg and the program use.
//
// Every frame shows a moving diagonal ramp and, in a band across the middle of the picture
// (rows 40 % to 50 % of the height, far from a time stamp at the top or the bottom), the
// frame's number: kCounterBits blocks, most significant first, block i covering columns
// (i + 2) / 24 to (i + 3) / 24 of the width, white for 1 and black for 0. The number counts
// every frame the camera ever delivered (across streams and reopenings), so a frame that is
// recorded twice shows up as the same number twice.
//
// Faults, read from the environment when they apply (a test may change them at run time):
//   FAKE_V4L2_UNPLUG_AFTER=N    once per camera, N frames after a STREAMON the camera is
//                               unplugged: ioctls and mmap fail with ENODEV, poll reports
//                               POLLERR|POLLHUP, open fails with ENOENT.
//   FAKE_V4L2_RETURN_AFTER_MS=T with the above: T ms after the unplug the camera is back
//                               (opens succeed again, at whatever path its file has then).
//   FAKE_V4L2_STALL_AFTER=N     N frames after a STREAMON the camera keeps streaming but no
//                               frame is ever ready again (in this stream and all later).
//   FAKE_V4L2_BUSY=1            STREAMON fails with EBUSY (another program holds it).
//   FAKE_V4L2_REFUSE_S_FMT=1    S_FMT to another format or size than the current one fails
//                               with EBUSY (as while another program streams from it).
//   FAKE_V4L2_EIO_AT=N          in every stream, the first DQBUF once N frames were made
//                               fails with EIO (a USB glitch); the frame comes with the next.
//   FAKE_V4L2_SHORT_AT=N        in every stream, frame N holds half its bytes (a raw frame
//                               cut short, or a JPEG cut off in the middle).
//   FAKE_V4L2_DARK_FIRST=N      the first N frames of every stream are black, as a camera's
//                               are while its exposure settles.
//   FAKE_V4L2_HANG_OPEN_MS=T    opening a camera takes T ms, ignoring every signal and
//                               interrupt, as a driver stuck in its probe.
//   FAKE_V4L2_HANG_AFTER=N      with FAKE_V4L2_HANG_MS=T: N frames after a STREAMON, DQBUF
//                               blocks for T ms (non-blocking or not), then reports ENODEV.
//   FAKE_V4L2_HANG_STREAMOFF_MS=T  STREAMOFF takes T ms.
//   FAKE_V4L2_TWIN_FD=1         every descriptor of a camera comes with a second descriptor
//                               of the same file, held until the first closes, as wrapper
//                               libraries do: the descriptor cannot be told by its file.
// FAKE_V4L2_EVENTS=PATH appends a line to the file PATH for every descriptor of a camera
// the process opens ("open") and closes ("close"), so that a test can tell, after a program
// ended, whether it closed its devices itself or left them to the kernel.
// fake_v4l2_dqbuf_calls() (C linkage) counts the DQBUF calls of the process, so a test can
// tell a reader that waits for frames from one that keeps asking; fake_v4l2_open_calls()
// counts the opens of a camera that succeeded.
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace {

constexpr int kCounterBits = 20;
constexpr unsigned kMaxBuffers = 32;

// ---- libc underneath --------------------------------------------------------------------

template <typename F>
F Next(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

#define REAL(name, type)                                   \
    static type real_##name = Next<type>(#name);            \
    (void)real_##name

using OpenFn = int (*)(const char*, int, ...);
using OpenatFn = int (*)(int, const char*, int, ...);
using Open2Fn = int (*)(const char*, int);
using Openat2Fn = int (*)(int, const char*, int);
using CloseFn = int (*)(int);
using IoctlFn = int (*)(int, unsigned long, ...);
using MmapFn = void* (*)(void*, size_t, int, int, int, off_t);
using MunmapFn = int (*)(void*, size_t);
using PollFn = int (*)(struct pollfd*, nfds_t, int);
using SelectFn = int (*)(int, fd_set*, fd_set*, fd_set*, struct timeval*);
using ReadFn = ssize_t (*)(int, void*, size_t);

std::int64_t NowUs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// Appends a line to the file FAKE_V4L2_EVENTS names, if any.
void NoteEvent(const char* line) {
    const char* path = getenv("FAKE_V4L2_EVENTS");
    if (path == nullptr || *path == '\0')
        return;
    using OpenFn = int (*)(const char*, int, ...);
    static const auto realOpen = reinterpret_cast<OpenFn>(dlsym(RTLD_NEXT, "open"));
    using CloseFn = int (*)(int);
    static const auto realClose = reinterpret_cast<CloseFn>(dlsym(RTLD_NEXT, "close"));
    const int fd = realOpen(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    const std::string text = std::string(line) + "\n";
    [[maybe_unused]] const ssize_t written = write(fd, text.data(), text.size());
    realClose(fd);
}

long EnvNumber(const char* name, long fallback) {
    const char* text = getenv(name);
    if (text == nullptr || *text == '\0')
        return fallback;
    char* end = nullptr;
    const long value = strtol(text, &end, 10);
    return end != text ? value : fallback;
}

// ---- what the camera offers -------------------------------------------------------------

struct Size {
    unsigned width, height;
};
const Size kYuyvSizes[] = {{320, 240}, {640, 480}, {1280, 720}};
const Size kMjpegSizes[] = {{320, 240}, {640, 480}, {1280, 720}, {1920, 1080}};
// The frame intervals offered at every size, as listed ("30,15" by default); sorted, fastest
// first, as drivers enumerate them.
std::vector<v4l2_fract> FrameIntervals(bool sorted = true) {
    const char* text = getenv("FAKE_V4L2_FRAME_RATES");
    std::string list = text != nullptr && *text != '\0' ? text : "30,15";
    std::vector<v4l2_fract> intervals;
    for (std::size_t start = 0; start < list.size();) {
        std::size_t end = list.find(',', start);
        if (end == std::string::npos)
            end = list.size();
        unsigned num = 0, den = 1;
        const std::string item = list.substr(start, end - start);
        if (std::sscanf(item.c_str(), "%u/%u", &num, &den) >= 1 && num > 0 && den > 0)
            intervals.push_back(v4l2_fract{den, num});  // time per frame is den/num seconds
        start = end + 1;
    }
    if (intervals.empty())
        intervals = {{1, 30}, {1, 15}};
    if (sorted)
        std::sort(intervals.begin(), intervals.end(), [](v4l2_fract a, v4l2_fract b) {
        return std::uint64_t(a.numerator) * b.denominator <
               std::uint64_t(b.numerator) * a.denominator;
    });
    return intervals;
}
const std::uint32_t kFormats[] = {V4L2_PIX_FMT_YUYV, V4L2_PIX_FMT_MJPEG};

std::vector<Size> SizesOf(std::uint32_t format) {
    if (format == V4L2_PIX_FMT_MJPEG)
        return {std::begin(kMjpegSizes), std::end(kMjpegSizes)};
    return {std::begin(kYuyvSizes), std::end(kYuyvSizes)};
}

bool Offered(std::uint32_t format) {
    return format == V4L2_PIX_FMT_YUYV || format == V4L2_PIX_FMT_MJPEG;
}

struct ControlInfo {
    std::uint32_t id;
    v4l2_ctrl_type type;
    const char* name;
    int minimum, maximum, step, defaultValue;
    std::uint32_t flags;
};
const ControlInfo kControls[] = {
    // The class of the controls that follow, as the kernel's control framework reports it.
    {V4L2_CID_USER_CLASS, V4L2_CTRL_TYPE_CTRL_CLASS, "User Controls", 0, 0, 0, 0,
     V4L2_CTRL_FLAG_READ_ONLY | V4L2_CTRL_FLAG_WRITE_ONLY},
    {V4L2_CID_BRIGHTNESS, V4L2_CTRL_TYPE_INTEGER, "Brightness", -64, 64, 1, 0,
     V4L2_CTRL_FLAG_SLIDER},
    {V4L2_CID_HUE, V4L2_CTRL_TYPE_INTEGER, "Hue", -40, 40, 1, 0, V4L2_CTRL_FLAG_DISABLED},
    {V4L2_CID_AUTO_WHITE_BALANCE, V4L2_CTRL_TYPE_BOOLEAN, "White Balance, Automatic", 0, 1, 1, 1,
     0},
    {V4L2_CID_GAIN, V4L2_CTRL_TYPE_INTEGER, "Gain", 0, 255, 1, 32, V4L2_CTRL_FLAG_READ_ONLY},
    {V4L2_CID_POWER_LINE_FREQUENCY, V4L2_CTRL_TYPE_MENU, "Power Line Frequency", 0, 2, 1, 1, 0},
};
const char* const kPowerLineMenu[] = {"Disabled", "50 Hz", "60 Hz"};

// FAKE_V4L2_NO_DISABLED_CONTROL=1 leaves the disabled control out, for v4l2-compliance.
bool Offered(const ControlInfo& c) {
    return !(c.flags & V4L2_CTRL_FLAG_DISABLED) || EnvNumber("FAKE_V4L2_NO_DISABLED_CONTROL", 0) == 0;
}

const ControlInfo* FindControl(std::uint32_t id) {
    for (const ControlInfo& c : kControls)
        if (c.id == id && Offered(c))
            return &c;
    return nullptr;
}

// ---- state --------------------------------------------------------------------------------

struct Buffer {
    bool queued = false;
    bool done = false;  // filled, waiting to be dequeued
    std::uint32_t bytesUsed = 0;
    std::uint32_t sequence = 0;
    std::int64_t stampUs = 0;
};

struct Camera {
    int index = 0;
    // The file: inode numbers are soon reused, so a new file is told apart by its time.
    dev_t dev = 0;
    ino_t ino = 0;
    timespec modified{};
    std::uint32_t pixelFormat = V4L2_PIX_FMT_YUYV;
    unsigned width = 640, height = 480;
    v4l2_fract interval = FrameIntervals(false).front();  // time per frame
    std::map<std::uint32_t, int> values;
    // The access priority of each descriptor; changes need the highest one held.
    std::map<int, std::uint32_t> priorities;
    // Control events: each descriptor's subscriptions (control id -> flags) and its events
    // waiting to be dequeued (one per control, later changes merged into it).
    std::map<int, std::map<std::uint32_t, std::uint32_t>> subscriptions;
    std::map<int, std::deque<v4l2_event>> events;
    std::uint32_t eventSequence = 0;
    std::uint64_t framesEver = 0;  // the number painted into the next frame

    // The buffer queue, owned by one descriptor as in videobuf2.
    int owner = -1;
    std::vector<Buffer> buffers;
    std::uint32_t bufferSize = 0;
    int memfd = -1;
    std::uint8_t* memory = nullptr;  // the fake's own mapping of all buffers
    std::size_t memorySize = 0;
    bool streaming = false;
    std::int64_t nextDueUs = 0;
    std::uint32_t streamFrames = 0;
    long unplugAfter = -1, stallAfter = -1;
    long eioAt = -1, shortAt = -1, darkFirst = 0, hangAfter = -1;
    bool eioDone = false, hangDone = false;

    // Faults.
    bool unplugDone = false;
    bool unplugged = false;
    std::int64_t backAtUs = -1;  // when an unplugged camera returns; -1: never
    int generation = 0;          // bumped at each unplug: older descriptors stay dead
    bool stalled = false;

    // MJPEG encoding.
    AVCodecContext* encoder = nullptr;
    AVFrame* planar = nullptr;
    AVPacket* packet = nullptr;

    Camera() = default;
    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;
    ~Camera();
};

struct Descriptor {
    std::shared_ptr<Camera> camera;  // kept alive by its descriptors when replaced
    int generation;
    int twin = -1;  // the second descriptor of FAKE_V4L2_TWIN_FD, closed with this one
};

std::atomic<unsigned long> g_dqbufCalls{0};
std::atomic<unsigned long> g_openCalls{0};

// The fake's state. Made on first use and never destroyed: other libraries call stat()
// and close() before static constructors of this one ran, and after its destructors.
struct State {
    std::mutex mutex;
    std::map<int, std::shared_ptr<Camera>> cameras;  // by index in FAKE_V4L2_DEVICE
    std::map<int, Descriptor> fds;
};

State& Global() {
    static State* state = new State;
    return *state;
}

std::uint32_t PageAlign(std::uint32_t n) {
    const std::uint32_t page = static_cast<std::uint32_t>(sysconf(_SC_PAGESIZE));
    return (n + page - 1) / page * page;
}

std::uint32_t ImageSize(const Camera& c) { return c.width * c.height * 2; }

void FreeEncoder(Camera* c) {
    avcodec_free_context(&c->encoder);
    av_frame_free(&c->planar);
    av_packet_free(&c->packet);
}

void FreeBuffers(Camera* c) {
    REAL(munmap, MunmapFn);
    REAL(close, CloseFn);
    if (c->memory != nullptr)
        real_munmap(c->memory, c->memorySize);
    if (c->memfd >= 0)
        real_close(c->memfd);
    c->memory = nullptr;
    c->memfd = -1;
    c->memorySize = 0;
    c->buffers.clear();
    c->streaming = false;
    c->owner = -1;
}

using StatFn = int (*)(const char*, struct stat*);
using FstatFn = int (*)(int, struct stat*);
using FstatatFn = int (*)(int, const char*, struct stat*, int);

// The index in FAKE_V4L2_DEVICE of the camera whose file has the status opened: a camera
// seen before by its inode (its file may have been renamed since), else the listed path
// that leads to the same file (the camera is new then). -1 when it is no camera.
int CameraIndexOf(const struct stat& opened, bool* known) {
    *known = false;
    const char* list = getenv("FAKE_V4L2_DEVICE");
    if (list == nullptr || *list == '\0' || !S_ISREG(opened.st_mode))
        return -1;
    for (auto& [index, camera] : Global().cameras)
        if (camera->dev == opened.st_dev && camera->ino == opened.st_ino &&
            camera->modified.tv_sec == opened.st_mtim.tv_sec &&
            camera->modified.tv_nsec == opened.st_mtim.tv_nsec) {
            *known = true;
            return index;
        }
    REAL(stat, StatFn);
    std::string paths(list);
    int index = 0;
    for (std::size_t start = 0; start <= paths.size(); ++index) {
        std::size_t end = paths.find(':', start);
        if (end == std::string::npos)
            end = paths.size();
        const std::string path = paths.substr(start, end - start);
        start = end + 1;
        struct stat listed {};
        if (!path.empty() && real_stat(path.c_str(), &listed) == 0 &&
            listed.st_dev == opened.st_dev && listed.st_ino == opened.st_ino)
            return index;
    }
    return -1;
}

Camera::~Camera() {
    FreeBuffers(this);
    FreeEncoder(this);
}

// The camera whose file the new descriptor fd refers to, if any (caller holds the lock).
std::shared_ptr<Camera> CameraOf(int fd) {
    REAL(fstat, FstatFn);
    struct stat opened {};
    if (real_fstat(fd, &opened) != 0)
        return nullptr;
    bool known = false;
    const int index = CameraIndexOf(opened, &known);
    if (index < 0)
        return nullptr;
    auto& slot = Global().cameras[index];
    if (known)
        return slot;
    // A new file at a listed path is a new camera; descriptors of the old one keep it.
    slot = std::make_shared<Camera>();
    slot->index = index;
    slot->dev = opened.st_dev;
    slot->ino = opened.st_ino;
    slot->modified = opened.st_mtim;
    for (const ControlInfo& c : kControls)
        slot->values[c.id] = c.defaultValue;
    return slot;
}

// The major number of V4L2 nodes; a camera's file looks like the character device 81:index.
constexpr unsigned kVideoMajor = 81;

// Makes a camera's file look like its device node to stat(), as tools check that.
int AsDeviceNode(int rc, struct stat* st) {
    if (rc != 0 || getenv("FAKE_V4L2_DEVICE") == nullptr)
        return rc;
    std::lock_guard lock(Global().mutex);
    bool known = false;
    const int index = CameraIndexOf(*st, &known);
    if (index >= 0) {
        st->st_mode = S_IFCHR | (st->st_mode & 07777);
        st->st_rdev = makedev(kVideoMajor, static_cast<unsigned>(index));
        st->st_size = 0;
    }
    return rc;
}

void ResetControls(Camera* c) {
    for (const ControlInfo& info : kControls)
        c->values[info.id] = info.defaultValue;
}

// A camera that comes back has forgotten what its controls were set to, as a re-plugged one.
void UpdatePlug(Camera* c) {
    if (c->unplugged && c->backAtUs >= 0 && NowUs() >= c->backAtUs) {
        c->unplugged = false;
        c->backAtUs = -1;
        ResetControls(c);
    }
}

void Unplug(Camera* c) {
    c->unplugged = true;
    c->unplugDone = true;
    ++c->generation;
    const long back = EnvNumber("FAKE_V4L2_RETURN_AFTER_MS", -1);
    c->backAtUs = back >= 0 ? NowUs() + back * 1000 : -1;
    FreeBuffers(c);
}

// The descriptor's camera while it is usable; nullptr with errno ENODEV once unplugged.
Camera* Live(const Descriptor& d) {
    UpdatePlug(d.camera.get());
    if (d.camera->unplugged || d.generation != d.camera->generation) {
        errno = ENODEV;
        return nullptr;
    }
    return d.camera.get();
}

// ---- pictures -----------------------------------------------------------------------------

void PaintYuyv(const Camera& c, std::uint64_t number, std::uint8_t* out) {
    const int shift = static_cast<int>(number * 4);
    // Frames of a settling exposure are black, counter and all.
    const int brightness = c.streamFrames < std::uint32_t(std::max(0L, c.darkFirst))
                               ? -255 : c.values.at(V4L2_CID_BRIGHTNESS);
    const unsigned bandTop = c.height * 40 / 100, bandBottom = c.height * 50 / 100;
    for (unsigned y = 0; y < c.height; ++y) {
        std::uint8_t* row = out + std::size_t(y) * c.width * 2;
        const bool band = y >= bandTop && y < bandBottom;
        for (unsigned x = 0; x < c.width; x += 2) {
            int luma;
            if (band) {
                const int block = static_cast<int>(x * 24 / c.width) - 2;
                const bool one = block >= 0 && block < kCounterBits &&
                                 ((number >> (kCounterBits - 1 - block)) & 1) != 0;
                luma = one ? 235 + std::min(0, brightness) : 16;
            } else {
                // A ramp 64 levels deep, moving 4 levels a frame, around mid grey.
                luma = 80 + ((static_cast<int>(x + y) / 4 + shift) & 63) + brightness;
            }
            const std::uint8_t yv = static_cast<std::uint8_t>(std::clamp(luma, 16, 235));
            row[2 * x + 0] = yv;
            row[2 * x + 1] = band ? 128 : 150;  // U
            row[2 * x + 2] = yv;
            row[2 * x + 3] = band ? 128 : 110;  // V
        }
    }
}

// Encodes the YUYV picture as one JPEG into out (at most capacity bytes); 0 on failure.
std::uint32_t EncodeMjpeg(Camera* c, const std::uint8_t* yuyv, std::uint8_t* out,
                          std::uint32_t capacity) {
    if (c->encoder == nullptr || c->encoder->width != static_cast<int>(c->width) ||
        c->encoder->height != static_cast<int>(c->height)) {
        FreeEncoder(c);
        const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
        c->encoder = codec ? avcodec_alloc_context3(codec) : nullptr;
        c->planar = av_frame_alloc();
        c->packet = av_packet_alloc();
        if (c->encoder == nullptr || c->planar == nullptr || c->packet == nullptr)
            return FreeEncoder(c), 0;
        c->encoder->width = static_cast<int>(c->width);
        c->encoder->height = static_cast<int>(c->height);
        c->encoder->pix_fmt = AV_PIX_FMT_YUVJ422P;
        c->encoder->time_base = AVRational{1, 30};
        c->encoder->flags |= AV_CODEC_FLAG_QSCALE;
        c->encoder->global_quality = FF_QP2LAMBDA * 3;
        c->planar->format = AV_PIX_FMT_YUVJ422P;
        c->planar->width = c->encoder->width;
        c->planar->height = c->encoder->height;
        if (avcodec_open2(c->encoder, codec, nullptr) < 0 || av_frame_get_buffer(c->planar, 0) < 0)
            return FreeEncoder(c), 0;
    }
    if (av_frame_make_writable(c->planar) < 0)
        return 0;
    for (unsigned y = 0; y < c->height; ++y) {
        const std::uint8_t* in = yuyv + std::size_t(y) * c->width * 2;
        std::uint8_t* py = c->planar->data[0] + std::size_t(y) * c->planar->linesize[0];
        std::uint8_t* pu = c->planar->data[1] + std::size_t(y) * c->planar->linesize[1];
        std::uint8_t* pv = c->planar->data[2] + std::size_t(y) * c->planar->linesize[2];
        for (unsigned x = 0; x < c->width; x += 2) {
            // Studio-range YUYV to the full range the JPEG planes hold.
            auto full = [](int v) { return static_cast<std::uint8_t>(std::clamp((v - 16) * 255 / 219, 0, 255)); };
            py[x] = full(in[2 * x]);
            py[x + 1] = full(in[2 * x + 2]);
            pu[x / 2] = in[2 * x + 1];
            pv[x / 2] = in[2 * x + 3];
        }
    }
    std::uint32_t size = 0;
    if (avcodec_send_frame(c->encoder, c->planar) == 0 &&
        avcodec_receive_packet(c->encoder, c->packet) == 0) {
        if (static_cast<std::uint32_t>(c->packet->size) <= capacity) {
            std::memcpy(out, c->packet->data, c->packet->size);
            size = static_cast<std::uint32_t>(c->packet->size);
        }
        av_packet_unref(c->packet);
    }
    return size;
}

// ---- streaming ----------------------------------------------------------------------------

std::int64_t IntervalUs(const Camera& c) {
    return std::int64_t(1000000) * c.interval.numerator / std::max(1u, c.interval.denominator);
}

// Whether a frame can be dequeued now, filling one if its time has come (lock held).
bool FrameReady(Camera* c, int fd) {
    if (!c->streaming || c->owner != fd)
        return false;
    for (const Buffer& b : c->buffers)
        if (b.done)
            return true;
    if (c->stalled || NowUs() < c->nextDueUs)
        return false;
    auto queued = std::find_if(c->buffers.begin(), c->buffers.end(),
                               [](const Buffer& b) { return b.queued && !b.done; });
    if (queued == c->buffers.end())
        return false;
    if (c->unplugAfter >= 0 && !c->unplugDone && c->streamFrames >= c->unplugAfter) {
        Unplug(c);
        return false;
    }
    if (c->stallAfter >= 0 && c->streamFrames >= c->stallAfter) {
        c->stalled = true;
        return false;
    }
    const std::size_t index = static_cast<std::size_t>(queued - c->buffers.begin());
    std::uint8_t* data = c->memory + index * c->bufferSize;
    const std::uint64_t number = c->framesEver++;
    if (c->pixelFormat == V4L2_PIX_FMT_MJPEG) {
        std::vector<std::uint8_t> raw(ImageSize(*c));
        PaintYuyv(*c, number, raw.data());
        queued->bytesUsed = EncodeMjpeg(c, raw.data(), data, c->bufferSize);
    } else {
        PaintYuyv(*c, number, data);
        queued->bytesUsed = ImageSize(*c);
    }
    if (c->shortAt >= 0 && c->streamFrames == c->shortAt)
        queued->bytesUsed /= 2;
    const std::int64_t now = NowUs();
    queued->done = true;
    queued->sequence = c->streamFrames++;
    queued->stampUs = now;
    // A late reader loses the frames it missed, as with a real camera.
    c->nextDueUs = std::max(c->nextDueUs + IntervalUs(*c), now);
    return true;
}

// How long until the camera's next frame may be ready; -1 when none will come.
std::int64_t UsUntilFrame(const Camera& c) {
    if (!c.streaming || c.stalled)
        return -1;
    return std::max<std::int64_t>(0, c.nextDueUs - NowUs());
}

void FillBuffer(const Camera& c, std::uint32_t index, v4l2_buffer* out) {
    const Buffer& b = c.buffers[index];
    out->index = index;
    out->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    out->memory = V4L2_MEMORY_MMAP;
    out->length = c.bufferSize;
    out->m.offset = index * c.bufferSize;
    out->flags = V4L2_BUF_FLAG_MAPPED | V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC |
                 V4L2_BUF_FLAG_TSTAMP_SRC_SOE;
    if (b.queued)
        out->flags |= V4L2_BUF_FLAG_QUEUED;
    if (b.done)
        out->flags |= V4L2_BUF_FLAG_DONE;
    out->field = V4L2_FIELD_NONE;
    out->bytesused = b.bytesUsed;
    out->sequence = b.sequence;
    out->timestamp.tv_sec = b.stampUs / 1000000;
    out->timestamp.tv_usec = b.stampUs % 1000000;
}

// ---- ioctls -------------------------------------------------------------------------------

// Copies text into a fixed field, cut to fit and zero-filled.
void CopyName(void* out, std::size_t size, const char* text) {
    std::memset(out, 0, size);
    std::memcpy(out, text, std::min(size - 1, std::strlen(text)));
}

Size Snap(std::uint32_t format, unsigned width, unsigned height) {
    Size best{0, 0};
    long bestDistance = -1;
    for (Size s : SizesOf(format)) {
        const long d = std::labs(long(s.width) - long(width)) + std::labs(long(s.height) - long(height));
        if (bestDistance < 0 || d < bestDistance)
            best = s, bestDistance = d;
    }
    return best;
}

void FillFormat(std::uint32_t format, Size size, v4l2_pix_format* pix) {
    std::memset(pix, 0, sizeof *pix);
    pix->width = size.width;
    pix->height = size.height;
    pix->pixelformat = format;
    pix->field = V4L2_FIELD_NONE;
    pix->bytesperline = format == V4L2_PIX_FMT_YUYV ? size.width * 2 : 0;
    pix->sizeimage = size.width * size.height * 2;
    pix->colorspace = format == V4L2_PIX_FMT_YUYV ? V4L2_COLORSPACE_SRGB : V4L2_COLORSPACE_JPEG;
}

int Fail(int error) {
    errno = error;
    return -1;
}

// Whether size bytes at address can be read, as the kernel's copy from user space checks:
// an ioctl with a bad pointer fails with EFAULT instead of crashing the caller.
bool Readable(const void* address, std::size_t size) {
    if (size == 0)
        return true;
    if (address == nullptr)
        return false;
    std::vector<char> copy(size);
    iovec local{copy.data(), size};
    iovec remote{const_cast<void*>(address), size};
    return process_vm_readv(getpid(), &local, 1, &remote, 1, 0) == static_cast<ssize_t>(size);
}

int QueryControl(std::uint32_t id, v4l2_query_ext_ctrl* out) {
    const bool next = (id & V4L2_CTRL_FLAG_NEXT_CTRL) != 0;
    id &= ~(V4L2_CTRL_FLAG_NEXT_CTRL | V4L2_CTRL_FLAG_NEXT_COMPOUND);
    const ControlInfo* found = nullptr;
    for (const ControlInfo& c : kControls) {
        if (Offered(c) && (next ? c.id > id && (found == nullptr || c.id < found->id) : c.id == id))
            found = &c;
    }
    if (found == nullptr)
        return Fail(EINVAL);
    std::memset(out, 0, sizeof *out);
    out->id = found->id;
    out->type = found->type;
    CopyName(out->name, sizeof out->name, found->name);
    out->minimum = found->minimum;
    out->maximum = found->maximum;
    out->step = static_cast<std::uint64_t>(found->step);
    out->default_value = found->defaultValue;
    out->flags = found->flags;
    out->elem_size = 4;
    out->elems = 1;
    out->nr_of_dims = 0;
    return 0;
}

int SetControl(Camera* c, std::uint32_t id, int value, bool apply) {
    const ControlInfo* info = FindControl(id);
    if (info == nullptr || (info->flags & V4L2_CTRL_FLAG_DISABLED))
        return Fail(EINVAL);
    if (info->type == V4L2_CTRL_TYPE_CTRL_CLASS)
        return Fail(EACCES);
    if (info->flags & V4L2_CTRL_FLAG_READ_ONLY)
        return Fail(EACCES);
    if (value < info->minimum || value > info->maximum)
        return Fail(ERANGE);
    if (apply)
        c->values[id] = value;
    return 0;
}

int GetControl(Camera* c, std::uint32_t id, int* value) {
    const ControlInfo* info = FindControl(id);
    if (info == nullptr || (info->flags & V4L2_CTRL_FLAG_DISABLED))
        return Fail(EINVAL);
    if (info->flags & V4L2_CTRL_FLAG_WRITE_ONLY)
        return Fail(EACCES);
    *value = c->values[id];
    return 0;
}

void ControlChanged(Camera* c, int fd, std::uint32_t id);

// As the kernel's control framework: every control is checked before any is read or set, and
// a failure of that check reports error_idx = count. Requests are not supported.
int ExtControls(Camera* c, int fd, unsigned long request, v4l2_ext_controls* ctrls) {
    if (!Readable(ctrls->controls, sizeof(v4l2_ext_control) * ctrls->count))
        return Fail(EFAULT);
    const bool defaults = ctrls->which == V4L2_CTRL_WHICH_DEF_VAL;
    if (ctrls->which == V4L2_CTRL_WHICH_REQUEST_VAL ||
        (ctrls->which != V4L2_CTRL_WHICH_CUR_VAL && !defaults &&
         V4L2_CTRL_ID2WHICH(ctrls->which) != ctrls->which) ||
        (defaults && request != VIDIOC_G_EXT_CTRLS)) {
        ctrls->error_idx = ctrls->count;
        return Fail(EINVAL);
    }
    for (std::uint32_t i = 0; i < ctrls->count; ++i) {
        v4l2_ext_control& e = ctrls->controls[i];
        int value = 0;
        const bool known = ctrls->which == 0 || V4L2_CTRL_ID2WHICH(e.id) == ctrls->which ||
                           defaults || ctrls->which == V4L2_CTRL_WHICH_CUR_VAL;
        const int rc = !known                             ? Fail(EINVAL)
                       : request == VIDIOC_G_EXT_CTRLS ? GetControl(c, e.id, &value)
                                                       : SetControl(c, e.id, e.value, false);
        if (rc < 0) {
            ctrls->error_idx = request == VIDIOC_TRY_EXT_CTRLS ? i : ctrls->count;
            return -1;
        }
    }
    for (std::uint32_t i = 0; i < ctrls->count; ++i) {
        v4l2_ext_control& e = ctrls->controls[i];
        if (request == VIDIOC_S_EXT_CTRLS && c->values[e.id] != e.value) {
            SetControl(c, e.id, e.value, true);
            ControlChanged(c, fd, e.id);
        }
        else if (request == VIDIOC_G_EXT_CTRLS)
            e.value = defaults ? FindControl(e.id)->defaultValue : c->values[e.id];
    }
    return 0;
}

std::uint32_t HighestPriority(const Camera& c) {
    std::uint32_t highest = V4L2_PRIORITY_UNSET;
    for (const auto& [fd, priority] : c.priorities)
        highest = std::max(highest, priority);
    return highest;
}

// Queues a control event for fd, merged into one already waiting for that control.
void QueueControlEvent(Camera* c, int fd, const ControlInfo& info, std::uint32_t changes) {
    v4l2_event ev{};
    ev.type = V4L2_EVENT_CTRL;
    ev.id = info.id;
    ev.u.ctrl.changes = changes;
    ev.u.ctrl.type = info.type;
    ev.u.ctrl.value = c->values[info.id];
    ev.u.ctrl.flags = info.flags;
    ev.u.ctrl.minimum = info.minimum;
    ev.u.ctrl.maximum = info.maximum;
    ev.u.ctrl.step = info.step;
    ev.u.ctrl.default_value = info.defaultValue;
    clock_gettime(CLOCK_MONOTONIC, &ev.timestamp);
    ev.sequence = c->eventSequence++;
    for (v4l2_event& waiting : c->events[fd]) {
        if (waiting.id == info.id) {
            ev.u.ctrl.changes |= waiting.u.ctrl.changes;
            waiting = ev;
            return;
        }
    }
    c->events[fd].push_back(ev);
}

// A control's value changed through fd: every subscriber hears of it, fd itself only when it
// asked for its own changes.
void ControlChanged(Camera* c, int fd, std::uint32_t id) {
    for (auto& [subscriber, controls] : c->subscriptions) {
        auto it = controls.find(id);
        if (it != controls.end() && (subscriber != fd || (it->second & V4L2_EVENT_SUB_FL_ALLOW_FEEDBACK)))
            QueueControlEvent(c, subscriber, *FindControl(id), V4L2_EVENT_CTRL_CH_VALUE);
    }
}

int EventIoctl(Camera* c, int fd, unsigned long request, void* arg) {
    if (request == VIDIOC_DQEVENT) {
        std::deque<v4l2_event>& queue = c->events[fd];
        if (queue.empty())
            return Fail(ENOENT);
        *static_cast<v4l2_event*>(arg) = queue.front();
        queue.pop_front();
        static_cast<v4l2_event*>(arg)->pending = static_cast<std::uint32_t>(queue.size());
        return 0;
    }
    auto* sub = static_cast<v4l2_event_subscription*>(arg);
    if (request == VIDIOC_UNSUBSCRIBE_EVENT) {
        if (sub->type == V4L2_EVENT_ALL)
            c->subscriptions.erase(fd);
        else if (sub->type == V4L2_EVENT_CTRL)
            c->subscriptions[fd].erase(sub->id);
        return 0;
    }
    const ControlInfo* info = FindControl(sub->id);
    if (sub->type != V4L2_EVENT_CTRL || info == nullptr)
        return Fail(EINVAL);
    c->subscriptions[fd][sub->id] = sub->flags;
    if ((sub->flags & V4L2_EVENT_SUB_FL_SEND_INITIAL) && info->type != V4L2_CTRL_TYPE_CTRL_CLASS)
        QueueControlEvent(c, fd, *info, V4L2_EVENT_CTRL_CH_VALUE | V4L2_EVENT_CTRL_CH_FLAGS);
    return 0;
}

// Whether the descriptor may change the camera: not while another holds a higher priority.
bool MayChange(Camera* c, int fd, unsigned long request) {
    switch (request) {
    case VIDIOC_S_INPUT: case VIDIOC_S_FMT: case VIDIOC_S_PARM: case VIDIOC_S_CTRL:
    case VIDIOC_S_EXT_CTRLS: case VIDIOC_STREAMON: case VIDIOC_STREAMOFF:
    case VIDIOC_S_PRIORITY: case VIDIOC_REQBUFS:
        return c->priorities[fd] >= HighestPriority(*c);
    default:
        return true;
    }
}

int DeviceIoctl(int fd, Camera* c, unsigned long request, void* arg) {
    if (!MayChange(c, fd, request))
        return Fail(EBUSY);
    switch (request) {
    case VIDIOC_QUERYCAP: {
        auto* cap = static_cast<v4l2_capability*>(arg);
        std::memset(cap, 0, sizeof *cap);
        CopyName(cap->driver, sizeof cap->driver, "brisolt_uvc");
        CopyName(cap->card, sizeof cap->card, "Brisolt Fake Camera");
        char bus[32];
        std::snprintf(bus, sizeof bus, "usb-0000:00:14.0-%d", c->index + 1);
        CopyName(cap->bus_info, sizeof cap->bus_info, bus);
        cap->version = (6 << 16) | (1 << 8);
        cap->device_caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING | V4L2_CAP_EXT_PIX_FORMAT;
        cap->capabilities = cap->device_caps | V4L2_CAP_DEVICE_CAPS;
        return 0;
    }
    case VIDIOC_ENUMINPUT: {
        auto* input = static_cast<v4l2_input*>(arg);
        if (input->index != 0)
            return Fail(EINVAL);
        const std::uint32_t index = input->index;
        std::memset(input, 0, sizeof *input);
        input->index = index;
        CopyName(input->name, sizeof input->name, "Camera 1");
        input->type = V4L2_INPUT_TYPE_CAMERA;
        return 0;
    }
    case VIDIOC_G_INPUT: *static_cast<int*>(arg) = 0; return 0;
    case VIDIOC_S_INPUT: return *static_cast<int*>(arg) == 0 ? 0 : Fail(EINVAL);
    case VIDIOC_G_PRIORITY: *static_cast<std::uint32_t*>(arg) = HighestPriority(*c); return 0;
    case VIDIOC_S_PRIORITY: {
        const std::uint32_t priority = *static_cast<std::uint32_t*>(arg);
        if (priority < V4L2_PRIORITY_BACKGROUND || priority > V4L2_PRIORITY_RECORD)
            return Fail(EINVAL);
        c->priorities[fd] = priority;
        return 0;
    }
    case VIDIOC_ENUM_FMT: {
        auto* desc = static_cast<v4l2_fmtdesc*>(arg);
        if (desc->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || desc->index >= std::size(kFormats))
            return Fail(EINVAL);
        const std::uint32_t index = desc->index;
        std::memset(desc, 0, sizeof *desc);
        desc->index = index;
        desc->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        desc->pixelformat = kFormats[index];
        if (desc->pixelformat == V4L2_PIX_FMT_MJPEG) {
            desc->flags = V4L2_FMT_FLAG_COMPRESSED;
            CopyName(desc->description, sizeof desc->description, "Motion-JPEG");
        } else {
            CopyName(desc->description, sizeof desc->description, "YUYV 4:2:2");
        }
        return 0;
    }
    case VIDIOC_ENUM_FRAMESIZES: {
        auto* size = static_cast<v4l2_frmsizeenum*>(arg);
        if (!Offered(size->pixel_format))
            return Fail(EINVAL);
        const std::vector<Size> sizes = SizesOf(size->pixel_format);
        if (size->index >= sizes.size())
            return Fail(EINVAL);
        std::memset(size->reserved, 0, sizeof size->reserved);
        size->type = V4L2_FRMSIZE_TYPE_DISCRETE;
        size->discrete.width = sizes[size->index].width;
        size->discrete.height = sizes[size->index].height;
        return 0;
    }
    case VIDIOC_ENUM_FRAMEINTERVALS: {
        auto* interval = static_cast<v4l2_frmivalenum*>(arg);
        const std::vector<v4l2_fract> intervals = FrameIntervals();
        if (!Offered(interval->pixel_format) || interval->index >= intervals.size())
            return Fail(EINVAL);
        const Size snapped = Snap(interval->pixel_format, interval->width, interval->height);
        if (snapped.width != interval->width || snapped.height != interval->height)
            return Fail(EINVAL);
        std::memset(interval->reserved, 0, sizeof interval->reserved);
        interval->type = V4L2_FRMIVAL_TYPE_DISCRETE;
        interval->discrete = intervals[interval->index];
        return 0;
    }
    case VIDIOC_G_FMT: {
        auto* fmt = static_cast<v4l2_format*>(arg);
        if (fmt->type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
            return Fail(EINVAL);
        FillFormat(c->pixelFormat, Size{c->width, c->height}, &fmt->fmt.pix);
        return 0;
    }
    case VIDIOC_S_FMT:
    case VIDIOC_TRY_FMT: {
        auto* fmt = static_cast<v4l2_format*>(arg);
        if (fmt->type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
            return Fail(EINVAL);
        const std::uint32_t format =
            Offered(fmt->fmt.pix.pixelformat) ? fmt->fmt.pix.pixelformat : V4L2_PIX_FMT_YUYV;
        const Size size = Snap(format, fmt->fmt.pix.width, fmt->fmt.pix.height);
        if (request == VIDIOC_S_FMT) {
            const bool change =
                format != c->pixelFormat || size.width != c->width || size.height != c->height;
            if ((change && EnvNumber("FAKE_V4L2_REFUSE_S_FMT", 0) != 0) || !c->buffers.empty())
                return Fail(EBUSY);
            c->pixelFormat = format;
            c->width = size.width;
            c->height = size.height;
        }
        FillFormat(format, size, &fmt->fmt.pix);
        return 0;
    }
    case VIDIOC_G_PARM:
    case VIDIOC_S_PARM: {
        auto* parm = static_cast<v4l2_streamparm*>(arg);
        if (parm->type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
            return Fail(EINVAL);
        if (request == VIDIOC_S_PARM) {
            const v4l2_fract asked = parm->parm.capture.timeperframe;
            if (c->streaming)
                return Fail(EBUSY);
            // The offered interval nearest to the one asked for.
            if (asked.numerator != 0 && asked.denominator != 0) {
                const double want = double(asked.numerator) / asked.denominator;
                double best = -1;
                for (v4l2_fract offered : FrameIntervals()) {
                    const double d =
                        std::fabs(double(offered.numerator) / offered.denominator - want);
                    if (best < 0 || d < best)
                        best = d, c->interval = offered;
                }
            }
        }
        std::memset(&parm->parm, 0, sizeof parm->parm);
        parm->parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
        parm->parm.capture.timeperframe = c->interval;
        parm->parm.capture.readbuffers = 0;
        return 0;
    }
    case VIDIOC_QUERYCTRL: {
        auto* query = static_cast<v4l2_queryctrl*>(arg);
        v4l2_query_ext_ctrl ext{};
        if (QueryControl(query->id, &ext) < 0)
            return -1;
        std::memset(query, 0, sizeof *query);
        query->id = ext.id;
        query->type = static_cast<v4l2_ctrl_type>(ext.type);
        CopyName(query->name, sizeof query->name, ext.name);
        query->minimum = static_cast<__s32>(ext.minimum);
        query->maximum = static_cast<__s32>(ext.maximum);
        query->step = static_cast<__s32>(ext.step);
        query->default_value = static_cast<__s32>(ext.default_value);
        query->flags = ext.flags;
        return 0;
    }
    case VIDIOC_QUERY_EXT_CTRL: {
        auto* query = static_cast<v4l2_query_ext_ctrl*>(arg);
        return QueryControl(query->id, query);
    }
    case VIDIOC_QUERYMENU: {
        auto* item = static_cast<v4l2_querymenu*>(arg);
        if (item->id != V4L2_CID_POWER_LINE_FREQUENCY || item->index >= std::size(kPowerLineMenu))
            return Fail(EINVAL);
        CopyName(item->name, sizeof item->name, kPowerLineMenu[item->index]);
        item->reserved = 0;
        return 0;
    }
    case VIDIOC_G_CTRL: {
        auto* control = static_cast<v4l2_control*>(arg);
        return GetControl(c, control->id, &control->value);
    }
    case VIDIOC_S_CTRL: {
        auto* control = static_cast<v4l2_control*>(arg);
        const bool change = c->values[control->id] != control->value;
        if (SetControl(c, control->id, control->value, true) < 0)
            return -1;
        if (change)
            ControlChanged(c, fd, control->id);
        return 0;
    }
    case VIDIOC_G_EXT_CTRLS:
    case VIDIOC_S_EXT_CTRLS:
    case VIDIOC_TRY_EXT_CTRLS:
        return ExtControls(c, fd, request, static_cast<v4l2_ext_controls*>(arg));
    case VIDIOC_SUBSCRIBE_EVENT:
    case VIDIOC_UNSUBSCRIBE_EVENT:
    case VIDIOC_DQEVENT:
        return EventIoctl(c, fd, request, arg);
    case VIDIOC_REQBUFS: {
        auto* req = static_cast<v4l2_requestbuffers*>(arg);
        if (req->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || req->memory != V4L2_MEMORY_MMAP)
            return Fail(EINVAL);
        if (c->owner >= 0 && c->owner != fd)
            return Fail(EBUSY);
        req->capabilities = V4L2_BUF_CAP_SUPPORTS_MMAP;
        req->flags = 0;  // no cache hints
        std::memset(req->reserved, 0, sizeof req->reserved);
        FreeBuffers(c);
        if (req->count == 0)
            return 0;
        req->count = std::clamp(req->count, 2u, kMaxBuffers);
        c->bufferSize = PageAlign(ImageSize(*c));
        c->memorySize = std::size_t(c->bufferSize) * req->count;
        c->memfd = memfd_create("fake-v4l2-buffers", MFD_CLOEXEC);
        if (c->memfd < 0 || ftruncate(c->memfd, static_cast<off_t>(c->memorySize)) != 0)
            return FreeBuffers(c), Fail(ENOMEM);
        REAL(mmap, MmapFn);
        void* memory = real_mmap(nullptr, c->memorySize, PROT_READ | PROT_WRITE, MAP_SHARED,
                                 c->memfd, 0);
        if (memory == MAP_FAILED)
            return FreeBuffers(c), Fail(ENOMEM);
        c->memory = static_cast<std::uint8_t*>(memory);
        c->buffers.assign(req->count, Buffer{});
        c->owner = fd;
        return 0;
    }
    case VIDIOC_QUERYBUF:
    case VIDIOC_QBUF:
    case VIDIOC_DQBUF: {
        auto* buf = static_cast<v4l2_buffer*>(arg);
        // Anyone may query the buffers; only the queue's owner may queue them.
        if (buf->type != V4L2_BUF_TYPE_VIDEO_CAPTURE ||
            (request != VIDIOC_QUERYBUF && (buf->memory != V4L2_MEMORY_MMAP || c->owner != fd)))
            return Fail(c->owner != fd && c->owner >= 0 ? EBUSY : EINVAL);
        if (request == VIDIOC_QBUF && (buf->flags & V4L2_BUF_FLAG_REQUEST_FD))
            return Fail(EBADR);  // no requests
        if (request == VIDIOC_DQBUF) {
            if (!c->streaming)
                return Fail(EINVAL);
            if (!FrameReady(c, fd))
                return Fail(c->unplugged ? ENODEV : EAGAIN);
            for (std::uint32_t i = 0; i < c->buffers.size(); ++i) {
                if (c->buffers[i].done) {
                    FillBuffer(*c, i, buf);
                    buf->flags &= ~static_cast<std::uint32_t>(V4L2_BUF_FLAG_QUEUED | V4L2_BUF_FLAG_DONE);
                    c->buffers[i].queued = c->buffers[i].done = false;
                    return 0;
                }
            }
            return Fail(EAGAIN);
        }
        if (buf->index >= c->buffers.size())
            return Fail(EINVAL);
        if (request == VIDIOC_QBUF) {
            if (c->buffers[buf->index].queued)
                return Fail(EINVAL);
            c->buffers[buf->index].queued = true;
            c->buffers[buf->index].done = false;
        }
        FillBuffer(*c, buf->index, buf);
        return 0;
    }
    case VIDIOC_STREAMON:
    case VIDIOC_STREAMOFF: {
        if (*static_cast<int*>(arg) != V4L2_BUF_TYPE_VIDEO_CAPTURE)
            return Fail(EINVAL);
        if (c->owner >= 0 && c->owner != fd)
            return Fail(EBUSY);
        if (request == VIDIOC_STREAMOFF) {
            c->streaming = false;
            for (Buffer& b : c->buffers)
                b = Buffer{};
            return 0;
        }
        if (EnvNumber("FAKE_V4L2_BUSY", 0) != 0)
            return Fail(EBUSY);
        if (c->buffers.empty())
            return Fail(EINVAL);
        if (!c->streaming) {
            c->streaming = true;
            c->streamFrames = 0;
            c->nextDueUs = NowUs() + IntervalUs(*c);
            c->unplugAfter = EnvNumber("FAKE_V4L2_UNPLUG_AFTER", -1);
            c->stallAfter = EnvNumber("FAKE_V4L2_STALL_AFTER", -1);
            c->eioAt = EnvNumber("FAKE_V4L2_EIO_AT", -1);
            c->shortAt = EnvNumber("FAKE_V4L2_SHORT_AT", -1);
            c->darkFirst = EnvNumber("FAKE_V4L2_DARK_FIRST", 0);
            c->hangAfter = EnvNumber("FAKE_V4L2_HANG_AFTER", -1);
            c->eioDone = c->hangDone = false;
        }
        return 0;
    }
    default:
        return Fail(ENOTTY);
    }
}

// ---- opening and closing ------------------------------------------------------------------

// Sleeps ms milliseconds whatever signals arrive, as a driver stuck in the kernel does.
void SleepThrough(long ms) {
    timespec left{ms / 1000, (ms % 1000) * 1000000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// Called with every descriptor libc opened: registers it when it is a camera's.
int Adopt(int fd) {
    if (fd < 0 || getenv("FAKE_V4L2_DEVICE") == nullptr)
        return fd;
    {
        std::lock_guard lock(Global().mutex);
        std::shared_ptr<Camera> c = CameraOf(fd);
        if (c == nullptr)
            return fd;
        UpdatePlug(c.get());
        if (c->unplugged) {
            REAL(close, CloseFn);
            real_close(fd);
            return Fail(ENOENT);
        }
        Descriptor d{c, c->generation};
        if (EnvNumber("FAKE_V4L2_TWIN_FD", 0) != 0)
            d.twin = fcntl(fd, F_DUPFD_CLOEXEC, 0);
        Global().fds[fd] = d;
        c->priorities[fd] = V4L2_PRIORITY_DEFAULT;
        ++g_openCalls;
        NoteEvent("open");
    }
    const long hang = EnvNumber("FAKE_V4L2_HANG_OPEN_MS", 0);
    if (hang > 0)
        SleepThrough(hang);
    return fd;
}

bool Fake(int fd, Descriptor* out) {
    auto it = Global().fds.find(fd);
    if (it == Global().fds.end())
        return false;
    *out = it->second;
    return true;
}

int Mode(int flags, va_list args) {
    return (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(args, int) : 0;
}

// Fake descriptors among fds: their readiness, and how long until one may become ready
// (-1: none will). Lock held.
int FakeReadiness(struct pollfd* fds, nfds_t count, std::int64_t* wakeUs, bool* any) {
    int ready = 0;
    *wakeUs = -1;
    *any = false;
    for (nfds_t i = 0; i < count; ++i) {
        Descriptor d;
        if (fds[i].fd < 0 || !Fake(fds[i].fd, &d))
            continue;
        *any = true;
        fds[i].revents = 0;
        Camera* c = Live(d);
        if (c == nullptr) {
            fds[i].revents = POLLERR | POLLHUP;
        } else if (!c->events[fds[i].fd].empty() && (fds[i].events & POLLPRI)) {
            fds[i].revents = POLLPRI;
        } else if (!(fds[i].events & (POLLIN | POLLRDNORM))) {
            // Only events asked for, and none waiting.
        } else if (!c->streaming || c->owner != fds[i].fd) {
            fds[i].revents = POLLERR;
        } else if (FrameReady(c, fds[i].fd)) {
            fds[i].revents = fds[i].events & (POLLIN | POLLRDNORM);
        } else if (c->unplugged) {
            fds[i].revents = POLLERR | POLLHUP;
        } else {
            const std::int64_t wait = UsUntilFrame(*c);
            if (wait >= 0 && (*wakeUs < 0 || wait < *wakeUs))
                *wakeUs = wait;
        }
        if (fds[i].revents != 0)
            ++ready;
    }
    return ready;
}

}  // namespace

// ---- the interposed functions -------------------------------------------------------------

extern "C" {

int open(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const int mode = Mode(flags, args);
    va_end(args);
    REAL(open, OpenFn);
    return Adopt(real_open(path, flags, mode));
}

int open64(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const int mode = Mode(flags, args);
    va_end(args);
    REAL(open64, OpenFn);
    return Adopt(real_open64(path, flags, mode));
}

int openat(int dir, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const int mode = Mode(flags, args);
    va_end(args);
    REAL(openat, OpenatFn);
    return Adopt(real_openat(dir, path, flags, mode));
}

int openat64(int dir, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const int mode = Mode(flags, args);
    va_end(args);
    REAL(openat64, OpenatFn);
    return Adopt(real_openat64(dir, path, flags, mode));
}

int __open_2(const char* path, int flags) {
    REAL(__open_2, Open2Fn);
    return Adopt(real___open_2(path, flags));
}

int __open64_2(const char* path, int flags) {
    REAL(__open64_2, Open2Fn);
    return Adopt(real___open64_2(path, flags));
}

int __openat_2(int dir, const char* path, int flags) {
    REAL(__openat_2, Openat2Fn);
    return Adopt(real___openat_2(dir, path, flags));
}

int __openat64_2(int dir, const char* path, int flags) {
    REAL(__openat64_2, Openat2Fn);
    return Adopt(real___openat64_2(dir, path, flags));
}

int close(int fd) {
    {
        std::lock_guard lock(Global().mutex);
        auto it = Global().fds.find(fd);
        if (it != Global().fds.end()) {
            Camera* c = it->second.camera.get();
            if (c->owner == fd)
                FreeBuffers(c);
            c->priorities.erase(fd);
            c->subscriptions.erase(fd);
            c->events.erase(fd);
            if (it->second.twin >= 0) {
                REAL(close, CloseFn);
                real_close(it->second.twin);
            }
            Global().fds.erase(it);
            NoteEvent("close");
        }
    }
    REAL(close, CloseFn);
    return real_close(fd);
}

int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    for (;;) {
        std::unique_lock lock(Global().mutex);
        Descriptor d;
        if (!Fake(fd, &d)) {
            lock.unlock();
            REAL(ioctl, IoctlFn);
            return real_ioctl(fd, request, arg);
        }
        Camera* c = Live(d);
        if (c == nullptr)
            return -1;
        if (request == VIDIOC_DQBUF) {
            ++g_dqbufCalls;
            if (c->streaming && c->owner == fd && c->eioAt >= 0 && !c->eioDone &&
                c->streamFrames >= std::uint32_t(c->eioAt)) {
                c->eioDone = true;
                return Fail(EIO);
            }
            if (c->streaming && c->owner == fd && c->hangAfter >= 0 && !c->hangDone &&
                c->streamFrames >= std::uint32_t(c->hangAfter)) {
                c->hangDone = true;
                lock.unlock();
                SleepThrough(EnvNumber("FAKE_V4L2_HANG_MS", 10000));
                return Fail(ENODEV);
            }
        }
        if (request == VIDIOC_STREAMOFF) {
            const long hang = EnvNumber("FAKE_V4L2_HANG_STREAMOFF_MS", 0);
            if (hang > 0) {
                lock.unlock();
                SleepThrough(hang);
                lock.lock();
                if (!Fake(fd, &d) || (c = Live(d)) == nullptr)
                    return -1;
            }
        }
        if (_IOC_DIR(request) != _IOC_NONE && !Readable(arg, _IOC_SIZE(request)))
            return Fail(EFAULT);
        const int rc = DeviceIoctl(fd, c, request, arg);
        // A blocking DQBUF waits for the next frame, as the kernel does.
        if (rc < 0 && errno == EAGAIN && request == VIDIOC_DQBUF &&
            (fcntl(fd, F_GETFL) & O_NONBLOCK) == 0) {
            const std::int64_t wait = UsUntilFrame(*c);
            lock.unlock();
            usleep(static_cast<useconds_t>(wait > 0 ? std::min<std::int64_t>(wait, 100000) : 5000));
            continue;
        }
        return rc;
    }
}

void* mmap(void* address, size_t length, int protection, int flags, int fd, off_t offset) {
    REAL(mmap, MmapFn);
    {
        std::lock_guard lock(Global().mutex);
        Descriptor d;
        if (Fake(fd, &d)) {
            Camera* c = Live(d);
            if (c == nullptr)
                return MAP_FAILED;
            if (c->memfd < 0 || offset < 0 ||
                std::size_t(offset) + length > c->memorySize) {
                errno = EINVAL;
                return MAP_FAILED;
            }
            return real_mmap(address, length, protection, flags, c->memfd, offset);
        }
    }
    return real_mmap(address, length, protection, flags, fd, offset);
}

void* mmap64(void* address, size_t length, int protection, int flags, int fd, off_t offset) {
    return mmap(address, length, protection, flags, fd, offset);
}

int munmap(void* address, size_t length) {
    // Mappings of the buffers are ordinary mappings of a memfd: nothing to track.
    REAL(munmap, MunmapFn);
    return real_munmap(address, length);
}

int poll(struct pollfd* fds, nfds_t count, int timeoutMs) {
    REAL(poll, PollFn);
    const std::int64_t deadline = timeoutMs < 0 ? -1 : NowUs() + std::int64_t(timeoutMs) * 1000;
    std::vector<struct pollfd> real(fds, fds + count);
    for (;;) {
        std::int64_t wakeUs;
        bool any;
        int ready;
        {
            std::lock_guard lock(Global().mutex);
            ready = FakeReadiness(fds, count, &wakeUs, &any);
            if (!any)
                break;
            for (nfds_t i = 0; i < count; ++i)
                real[i].fd = Global().fds.count(fds[i].fd) ? -1 : fds[i].fd;
        }
        std::int64_t waitUs = ready > 0 ? 0 : wakeUs;
        if (deadline >= 0) {
            const std::int64_t left = std::max<std::int64_t>(0, deadline - NowUs());
            waitUs = waitUs < 0 ? left : std::min(waitUs, left);
        }
        // Wake now and then: a fault or another thread's STREAMON may change readiness.
        waitUs = waitUs < 0 ? 50000 : std::min<std::int64_t>(waitUs, 50000);
        const int realReady = real_poll(real.data(), count, static_cast<int>((waitUs + 999) / 1000));
        if (realReady < 0)
            return -1;
        for (nfds_t i = 0; i < count; ++i)
            if (real[i].fd >= 0)
                fds[i].revents = real[i].revents;
        if (ready + realReady > 0)
            return ready + realReady;
        if (deadline >= 0 && NowUs() >= deadline) {
            std::lock_guard lock(Global().mutex);
            return FakeReadiness(fds, count, &wakeUs, &any);
        }
    }
    return real_poll(fds, count, timeoutMs);
}

int select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds,
           struct timeval* timeout) {
    REAL(select, SelectFn);
    bool any = false;
    {
        std::lock_guard lock(Global().mutex);
        for (int fd = 0; fd < nfds && !any; ++fd)
            any = Global().fds.count(fd) != 0 && ((readfds && FD_ISSET(fd, readfds)) ||
                                           (writefds && FD_ISSET(fd, writefds)) ||
                                           (exceptfds && FD_ISSET(fd, exceptfds)));
    }
    if (!any)
        return real_select(nfds, readfds, writefds, exceptfds, timeout);
    // With a camera in the sets, the sets become a poll.
    std::vector<struct pollfd> fds;
    for (int fd = 0; fd < nfds; ++fd) {
        short events = 0;
        if (readfds && FD_ISSET(fd, readfds))
            events |= POLLIN;
        if (writefds && FD_ISSET(fd, writefds))
            events |= POLLOUT;
        if (exceptfds && FD_ISSET(fd, exceptfds))
            events |= POLLPRI;
        if (events != 0)
            fds.push_back({fd, events, 0});
    }
    const int timeoutMs =
        timeout ? static_cast<int>(timeout->tv_sec * 1000 + timeout->tv_usec / 1000) : -1;
    if (poll(fds.data(), fds.size(), timeoutMs) < 0)
        return -1;
    int ready = 0;
    for (const struct pollfd& p : fds) {
        const bool in = readfds && FD_ISSET(p.fd, readfds) && (p.revents & (POLLIN | POLLERR | POLLHUP));
        const bool out = writefds && FD_ISSET(p.fd, writefds) && (p.revents & (POLLOUT | POLLERR));
        const bool ex = exceptfds && FD_ISSET(p.fd, exceptfds) && (p.revents & POLLPRI);
        if (readfds && FD_ISSET(p.fd, readfds) && !in)
            FD_CLR(p.fd, readfds);
        if (writefds && FD_ISSET(p.fd, writefds) && !out)
            FD_CLR(p.fd, writefds);
        if (exceptfds && FD_ISSET(p.fd, exceptfds) && !ex)
            FD_CLR(p.fd, exceptfds);
        ready += in + out + ex;
    }
    return ready;
}

ssize_t read(int fd, void* buffer, size_t size) {
    {
        std::lock_guard lock(Global().mutex);
        Descriptor d;
        if (Fake(fd, &d)) {
            // Like a UVC camera: no read() I/O, only streaming.
            errno = Live(d) ? EINVAL : ENODEV;
            return -1;
        }
    }
    REAL(read, ReadFn);
    return real_read(fd, buffer, size);
}

int stat(const char* path, struct stat* st) {
    REAL(stat, StatFn);
    return AsDeviceNode(real_stat(path, st), st);
}

// On this ABI struct stat64 is struct stat.
static_assert(sizeof(struct stat64) == sizeof(struct stat));

int stat64(const char* path, struct stat64* st) {
    REAL(stat64, StatFn);
    auto* plain = reinterpret_cast<struct stat*>(st);
    return AsDeviceNode(real_stat64(path, plain), plain);
}

int fstat(int fd, struct stat* st) {
    REAL(fstat, FstatFn);
    return AsDeviceNode(real_fstat(fd, st), st);
}

int fstat64(int fd, struct stat64* st) {
    REAL(fstat64, FstatFn);
    auto* plain = reinterpret_cast<struct stat*>(st);
    return AsDeviceNode(real_fstat64(fd, plain), plain);
}

int fstatat(int dir, const char* path, struct stat* st, int flags) {
    REAL(fstatat, FstatatFn);
    return AsDeviceNode(real_fstatat(dir, path, st, flags), st);
}

int fstatat64(int dir, const char* path, struct stat64* st, int flags) {
    REAL(fstatat64, FstatatFn);
    auto* plain = reinterpret_cast<struct stat*>(st);
    return AsDeviceNode(real_fstatat64(dir, path, plain, flags), plain);
}

// Tools find out what a node is from its uevent in sysfs; a camera's says it is a video
// node. Anything else opens as usual.
using FopenFn = FILE* (*)(const char*, const char*);

static FILE* Uevent(const char* path) {
    unsigned major = 0, minor = 0;
    char tail[16] = {};
    if (getenv("FAKE_V4L2_DEVICE") == nullptr ||
        std::sscanf(path, "/sys/dev/char/%u:%u/%15s", &major, &minor, tail) != 3 ||
        major != kVideoMajor || std::strcmp(tail, "uevent") != 0)
        return nullptr;
    const int fd = memfd_create("fake-v4l2-uevent", MFD_CLOEXEC);
    if (fd < 0)
        return nullptr;
    char text[96];
    const int n = std::snprintf(text, sizeof text, "MAJOR=%u\nMINOR=%u\nDEVNAME=video%u\n",
                                major, minor, minor);
    FILE* file = nullptr;
    if (write(fd, text, static_cast<size_t>(n)) == n && lseek(fd, 0, SEEK_SET) == 0)
        file = fdopen(fd, "r");
    if (file == nullptr) {
        REAL(close, CloseFn);
        real_close(fd);
    }
    return file;
}

FILE* fopen(const char* path, const char* mode) {
    if (FILE* file = Uevent(path))
        return file;
    REAL(fopen, FopenFn);
    return real_fopen(path, mode);
}

FILE* fopen64(const char* path, const char* mode) {
    if (FILE* file = Uevent(path))
        return file;
    REAL(fopen64, FopenFn);
    return real_fopen64(path, mode);
}

unsigned long fake_v4l2_dqbuf_calls() { return g_dqbufCalls.load(); }
unsigned long fake_v4l2_open_calls() { return g_openCalls.load(); }

// The fortified entry points of the same calls.
int __poll_chk(struct pollfd* fds, nfds_t count, int timeoutMs, size_t) {
    return poll(fds, count, timeoutMs);
}

ssize_t __read_chk(int fd, void* buffer, size_t size, size_t) { return read(fd, buffer, size); }

}  // extern "C"
