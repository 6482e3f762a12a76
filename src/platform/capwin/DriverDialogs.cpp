// The four driver dialogs of the capture window: source, format, display and compression.
#include "platform/capwin/DriverDialogs.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QVBoxLayout>

#include "av/CaptureLog.h"
#include "device/DeviceWorker.h"
#include "device/V4l2Queries.h"

namespace capwin {

namespace {

// Rich text, so that long tips wrap.
QString Tip(const QString& plain) {
    return QStringLiteral("<p>") + plain.toHtmlEscaped() + QStringLiteral("</p>");
}

// A dialog with a form and OK/Cancel, closed by either.
struct FormDialog {
    QDialog dialog;
    QFormLayout* form;

    FormDialog(QWidget* parent, const char* objectName, const QString& title)
        : dialog(parent), form(new QFormLayout) {
        dialog.setObjectName(QString::fromLatin1(objectName));
        dialog.setWindowTitle(title);
        dialog.setModal(true);
        auto* layout = new QVBoxLayout(&dialog);
        layout->addLayout(form);
        auto* buttons =
            new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
        buttons->button(QDialogButtonBox::Ok)->setToolTip(Tip(QObject::tr("Takes the choices made here.")));
        buttons->button(QDialogButtonBox::Cancel)
            ->setToolTip(Tip(QObject::tr("Closes the dialog without taking its choices.")));
        QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
        QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
        layout->addWidget(buttons);
    }

    bool run() { return dialog.exec() == QDialog::Accepted; }
};

// The device's controls, asked and set through worker: the dialog never waits for the
// device longer than deviceWait, and opens it once.
void AddV4l2Controls(QFormLayout* form, QWidget* owner, device::DeviceWorker& worker,
                     std::chrono::milliseconds deviceWait) {
    auto asked = worker.ask([](int fd) { return device::QueryV4l2Controls(fd); });
    if (!device::AnsweredWithin(asked, deviceWait)) {
        qCWarning(lcCapture).noquote() << "the device" << QString::fromStdString(worker.path())
                                       << "did not tell its controls within"
                                       << deviceWait.count() << "ms";
        auto* note = new QLabel(QObject::tr("The device does not answer (its driver is busy); "
                                            "its controls cannot be shown now."));
        note->setWordWrap(true);
        form->addRow(note);
        return;
    }
    const std::vector<device::V4l2Control> controls = asked.get();
    // Each change goes to the device as it is made; of a slider's steps that the device has
    // not taken yet, only the newest is sent.
    const auto set = [&worker](std::uint32_t id, int value) {
        worker.post([id, value](int fd) { device::SetV4l2Control(fd, id, value); }, id);
    };
    if (controls.empty()) {
        form->addRow(new QLabel(QObject::tr("This device offers no adjustable controls.")));
        return;
    }
    for (const device::V4l2Control& control : controls) {
        const QString label = QString::fromStdString(control.name);
        const std::uint32_t id = control.id;
        const QString applies = QObject::tr("The device applies it at once; Cancel does not undo it.");
        switch (control.kind) {
        case device::V4l2Control::Kind::Boolean: {
            auto* box = new QCheckBox(owner);
            box->setChecked(control.value != 0);
            box->setToolTip(Tip(QObject::tr("%1: on or off. %2").arg(label, applies)));
            QObject::connect(box, &QCheckBox::toggled, [set, id](bool on) { set(id, on ? 1 : 0); });
            form->addRow(label, box);
            break;
        }
        case device::V4l2Control::Kind::Menu: {
            auto* combo = new QComboBox(owner);
            for (const auto& [index, name] : control.menu) {
                combo->addItem(QString::fromStdString(name), index);
                if (index == control.value)
                    combo->setCurrentIndex(combo->count() - 1);
            }
            combo->setToolTip(Tip(QObject::tr("%1: one of the device's choices. %2").arg(label, applies)));
            QObject::connect(combo, &QComboBox::activated, [set, id, combo](int row) {
                set(id, combo->itemData(row).toInt());
            });
            form->addRow(label, combo);
            break;
        }
        case device::V4l2Control::Kind::Integer: {
            auto* slider = new QSlider(Qt::Horizontal, owner);
            slider->setRange(control.minimum, control.maximum);
            slider->setSingleStep(control.step);
            slider->setValue(control.value);
            slider->setToolTip(Tip(QObject::tr("%1: %2 to %3 in steps of %4. %5")
                                   .arg(label)
                                   .arg(control.minimum)
                                   .arg(control.maximum)
                                   .arg(control.step)
                                   .arg(applies)));
            QObject::connect(slider, &QSlider::valueChanged,
                             [set, id](int value) { set(id, value); });
            form->addRow(label, slider);
            break;
        }
        }
    }
}

}  // namespace

bool RunVideoSourceDialog(QWidget* parent, device::DeviceKind kind, const std::string& devicePath,
                          device::TestPattern* pattern, std::chrono::milliseconds deviceWait) {
    if (kind == device::DeviceKind::V4l2) {
        // Outlives the dialog and its controls' connections; its end lets the last change
        // reach the device, within the wait.
        device::DeviceWorker worker(devicePath, deviceWait);
        FormDialog d(parent, kVideoSourceDialog, QObject::tr("Video Source"));
        // Controls take effect at once, as the device applies them; closing keeps them.
        d.form->addRow(new QLabel(QString::fromStdString(devicePath)));
        AddV4l2Controls(d.form, &d.dialog, worker, deviceWait);
        return d.run();
    }
    FormDialog d(parent, kVideoSourceDialog, QObject::tr("Video Source"));
    auto* combo = new QComboBox(&d.dialog);
    combo->setObjectName(QStringLiteral("pattern"));
    combo->setToolTip(Tip(QObject::tr("The moving picture the test pattern draws. OK applies it.")));
    for (device::TestPattern p : {device::TestPattern::Gradients, device::TestPattern::HueBars,
                                  device::TestPattern::Life}) {
        combo->addItem(QString::fromLatin1(device::TestPatternName(p)), static_cast<int>(p));
        if (p == *pattern)
            combo->setCurrentIndex(combo->count() - 1);
    }
    d.form->addRow(QObject::tr("Pattern:"), combo);
    if (!d.run())
        return false;
    *pattern = static_cast<device::TestPattern>(combo->currentData().toInt());
    return true;
}

bool RunVideoFormatDialog(QWidget* parent, const std::vector<std::pair<int, int>>& sizes,
                          bool offersMjpeg, FormatChoice* choice) {
    FormDialog d(parent, kVideoFormatDialog, QObject::tr("Video Format"));
    auto* sizeBox = new QComboBox(&d.dialog);
    sizeBox->setObjectName(QStringLiteral("frameSize"));
    sizeBox->setToolTip(Tip(QObject::tr("Picture size in pixels, width x height, among the sizes "
                                    "the device offers. Not while a file is open.")));
    for (const auto& [w, h] : sizes) {
        sizeBox->addItem(QStringLiteral("%1 x %2").arg(w).arg(h), QSize(w, h));
        if (w == choice->width && h == choice->height)
            sizeBox->setCurrentIndex(sizeBox->count() - 1);
    }
    auto* formatBox = new QComboBox(&d.dialog);
    formatBox->setObjectName(QStringLiteral("pixelFormat"));
    formatBox->setToolTip(Tip(QObject::tr("How the pixels reach the frame callback and the file. "
                                      "MJPEG: the device sends MJPEG, decoded to 24-bit RGB so "
                                      "that every frame carries the time stamp. If the device "
                                      "refuses it, the format in effect stays.")));
    std::vector<picture::PixelLayout> layouts{
        picture::PixelLayout::Rgb24, picture::PixelLayout::Rgb32, picture::PixelLayout::Yuy2};
    if (offersMjpeg)
        layouts.push_back(picture::PixelLayout::Mjpeg);
    for (picture::PixelLayout layout : layouts) {
        formatBox->addItem(QString::fromLatin1(picture::LayoutName(layout)),
                           static_cast<int>(layout));
        if (layout == choice->layout)
            formatBox->setCurrentIndex(formatBox->count() - 1);
    }
    d.form->addRow(QObject::tr("Frame size:"), sizeBox);
    d.form->addRow(QObject::tr("Pixel format:"), formatBox);
    if (!d.run())
        return false;
    const QSize size = sizeBox->currentData().toSize();
    if (size.isValid()) {
        choice->width = size.width();
        choice->height = size.height();
    }
    choice->layout = static_cast<picture::PixelLayout>(formatBox->currentData().toInt());
    return true;
}

bool RunVideoDisplayDialog(QWidget* parent, bool* scale) {
    FormDialog d(parent, kVideoDisplayDialog, QObject::tr("Video Display"));
    auto* box = new QCheckBox(QObject::tr("Scale the preview to the window"), &d.dialog);
    box->setObjectName(QStringLiteral("scale"));
    box->setToolTip(Tip(QObject::tr("Checked: the picture is stretched to the 320 x 240 preview. "
                                "Unchecked: shown at its own size from the top-left corner.")));
    box->setChecked(*scale);
    d.form->addRow(box);
    if (!d.run())
        return false;
    *scale = box->isChecked();
    return true;
}

bool RunVideoCompressionDialog(QWidget* parent, picture::PixelLayout layout,
                               CompressionChoice* choice, const avi::EncoderLookup& lookup) {
    FormDialog d(parent, kVideoCompressionDialog, QObject::tr("Video Compression"));
    auto* combo = new QComboBox(&d.dialog);
    combo->setObjectName(QStringLiteral("compression"));
    combo->setToolTip(Tip(QObject::tr("How frames are stored in the AVI file; from the next file "
                                  "that is opened on.")));
    // A compression whose encoder this FFmpeg lacks is not offered; if it was the choice
    // so far, the first entry (uncompressed) is shown instead.
    for (avi::Compression c : avi::AvailableCompressions(lookup)) {
        combo->addItem(QString::fromLatin1(avi::CompressionName(c)), static_cast<int>(c));
        if (c == choice->compression)
            combo->setCurrentIndex(combo->count() - 1);
    }
    d.form->addRow(QObject::tr("Compressor:"), combo);
    auto* quality = new QSpinBox(&d.dialog);
    quality->setObjectName(QStringLiteral("quality"));
    quality->setRange(0, 51);
    quality->setValue(choice->crf);
    quality->setToolTip(QObject::tr("Constant quality of H.264: lower keeps more detail and "
                                    "makes larger files; 23 is the usual choice."));
    d.form->addRow(QObject::tr("H.264 quality (CRF):"), quality);
    const auto followChoice = [combo, quality] {
        quality->setEnabled(combo->currentData().toInt() ==
                            static_cast<int>(avi::Compression::H264));
    };
    QObject::connect(combo, &QComboBox::currentIndexChanged, quality, followChoice);
    if (layout == picture::PixelLayout::Mjpeg) {
        // Its pictures are decoded so that the time stamp can be drawn into them, and are
        // compressed again as chosen here.
        auto* note = new QLabel(QObject::tr("The device sends MJPEG; each frame is decoded to "
                                            "carry the time stamp and stored as chosen here."));
        note->setObjectName(QStringLiteral("mjpegNote"));
        note->setWordWrap(true);
        d.form->addRow(note);
    }
    followChoice();
    if (!d.run())
        return false;
    choice->compression = static_cast<avi::Compression>(combo->currentData().toInt());
    choice->crf = quality->value();
    return true;
}

}  // namespace capwin
