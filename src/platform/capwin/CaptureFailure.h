// Why the capture window could not do what it was asked, as a kind and a text, so that the
// main window can say it in words without reading the log.
#pragma once

#include <QString>

enum class CaptureFailureKind {
    None,
    NoSuchDevice,   // connect: no driver with that index, or its device node is not there
    DeviceBusy,     // connect: another program holds the device
    FormatRefused,  // connect or format change: the device refused the size or format
    NoFrame,        // connect: the device opened but sent no frame in time
    OpenFailed,     // connect: another reason; FFmpeg's message in the text
    DeviceGone,     // grab: the device stopped delivering frames and did not come back
    NoSpace,        // file: no space left on the file system
    FileSizeLimit,  // file: the file system's or the process's limit of a file's size
    NoFileName,     // file: no name was given for the capture file
    WriteError,     // file: another error while creating or writing; the system's message
    StoreFailed,    // file: not the system's fault (an encoder missing or refusing); what failed
};

struct CaptureProblem {
    CaptureFailureKind kind = CaptureFailureKind::None;
    QString text;  // what only the failing layer knows: the system's or FFmpeg's message
};

// The kind of a failed create or write of a file by its errno, with the system's message;
// without an errno (0), a frame that could not be stored, with what failed.
CaptureProblem FileProblem(int error, const QString& what = {});
// The kind of a failed device open by FFmpeg's error code, with FFmpeg's message.
CaptureProblem OpenProblemFromAvError(int avError);
