// The recorder under decimal-comma locales: FFmpeg's option text still parses, every test
// pattern connects and records, and dates in titles and stamps stay English.
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "app/CaptureDlg.h"
#include "av/CLocaleScope.h"
#include "common/CaptureSettings.h"
#include "fakes/FakePowerServices.h"
#include "overlay/TimeStampText.h"
#include "platform/capwin/DriverDialogs.h"
#include "platform/capwin/FfmpegDriverRegistry.h"
#include "support/Probe.h"

extern "C" {
#include <libavutil/eval.h>
}

namespace {

const char* const kCommaLocales[] = {"de_DE.UTF-8", "fr_FR.UTF-8", "ru_RU.UTF-8"};

const QRegularExpression kEnglishDate(
    "(January|February|March|April|May|June|July|August|September|October|November|"
    "December)\\d\\d,\\d{4}");

// Switches the whole process to a locale, as Qt does from the environment at start-up, and
// puts the previous one back at the end. A locale the system lacks is compiled into a
// temporary directory first (LOCPATH), so that the test runs on machines without it.
class ProcessLocale {
public:
    explicit ProcessLocale(const std::string& name) : saved_(std::setlocale(LC_ALL, nullptr)) {
        if (std::setlocale(LC_ALL, name.c_str()) != nullptr)
            return;
        if (!compiled_.isValid())
            return;
        const std::string language = name.substr(0, name.find('.'));
        const std::string command = "localedef -i " + language + " -f UTF-8 '" +
                                    compiled_.path().toStdString() + "/" + name +
                                    "' >/dev/null 2>&1";
        if (std::system(command.c_str()) != 0)
            return;
        if (const char* old = std::getenv("LOCPATH"))
            savedPath_ = old;
        hadPath_ = std::getenv("LOCPATH") != nullptr;
        setenv("LOCPATH", compiled_.path().toLocal8Bit().constData(), 1);
        setPath_ = true;
        std::setlocale(LC_ALL, name.c_str());
    }
    ~ProcessLocale() {
        std::setlocale(LC_ALL, saved_.c_str());
        if (setPath_) {
            if (hadPath_)
                setenv("LOCPATH", savedPath_.c_str(), 1);
            else
                unsetenv("LOCPATH");
        }
    }
    // True when numbers are now written with a decimal comma.
    static bool DecimalComma() { return std::strcmp(localeconv()->decimal_point, ",") == 0; }

private:
    std::string saved_;
    QTemporaryDir compiled_;
    std::string savedPath_;
    bool hadPath_ = false;
    bool setPath_ = false;
};

// FFmpeg's expression parser, the one its options and filters use for numbers.
bool FfmpegParses(const char* text, double* value) {
    return av_expr_parse_and_eval(value, text, nullptr, nullptr, nullptr, nullptr, nullptr,
                                  nullptr, nullptr, 0, nullptr) >= 0;
}

TEST(CLocaleScope, FfmpegReadsDecimalPointsInsideTheScopeUnderEveryCommaLocale) {
    for (const char* name : kCommaLocales) {
        SCOPED_TRACE(name);
        ProcessLocale locale(name);
        if (!ProcessLocale::DecimalComma()) {
            ADD_FAILURE() << "locale " << name << " is not available (scripts/install-deps)";
            continue;
        }
        double value = 0;
        // The fault the scope is there for: FFmpeg follows the process's numeric locale.
        EXPECT_FALSE(FfmpegParses("0.02", &value) && value == 0.02);
        {
            const av::CLocaleScope scope;
            ASSERT_TRUE(FfmpegParses("0.02", &value));
            EXPECT_DOUBLE_EQ(value, 0.02);
            // Another thread is not affected by this one's scope.
            bool otherParses = true;
            std::thread([&] {
                double other = 0;
                otherParses = FfmpegParses("0.3", &other) && other == 0.3;
            }).join();
            EXPECT_FALSE(otherParses);
        }
        // The thread is back in the process's locale.
        EXPECT_TRUE(ProcessLocale::DecimalComma());
        {
            const av::CLocaleScope outer;
            { const av::CLocaleScope inner; }
            EXPECT_TRUE(FfmpegParses("0.3", &value)) << "a nested scope leaves the outer one";
        }
    }
}

TEST(CLocaleScope, ThePatternsFilterTextIsTheSameUnderEveryLocale) {
    const device::TestPattern patterns[] = {
        device::TestPattern::Gradients, device::TestPattern::HueBars, device::TestPattern::Life};
    std::vector<std::string> inC;
    for (device::TestPattern pattern : patterns) {
        device::SourceRequest request;
        request.pattern = pattern;
        request.width = 1280;
        request.height = 720;
        inC.push_back(device::TestPatternGraph(request));
    }
    for (const char* name : kCommaLocales) {
        SCOPED_TRACE(name);
        ProcessLocale locale(name);
        ASSERT_TRUE(ProcessLocale::DecimalComma());
        for (std::size_t i = 0; i < std::size(patterns); ++i) {
            device::SourceRequest request;
            request.pattern = patterns[i];
            request.width = 1280;
            request.height = 720;
            EXPECT_EQ(device::TestPatternGraph(request), inC[i]);
        }
    }
}

// Answers the driver's dialogs as they open, one after another: the source dialog picks a
// pattern, every dialog is accepted. Ends itself after a few seconds without a dialog.
class DriverDialogAnswers : public QObject {
public:
    explicit DriverDialogAnswers(const char* pattern) : pattern_(pattern) {
        elapsed_.start();
        QObject::connect(&timer_, &QTimer::timeout, this, [this] { answer(); });
        timer_.start(10);
    }
    int answered() const { return answered_; }

private:
    void answer() {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (dialog == nullptr || dialog == last_) {
            if (elapsed_.elapsed() > 10000)
                timer_.stop();
            return;
        }
        last_ = dialog;
        if (dialog->objectName() == QLatin1String(capwin::kVideoSourceDialog)) {
            auto* combo = dialog->findChild<QComboBox*>("pattern");
            EXPECT_NE(combo, nullptr);
            if (combo != nullptr) {
                const int index = combo->findText(QString::fromUtf8(pattern_));
                EXPECT_GE(index, 0) << pattern_;
                combo->setCurrentIndex(index);
            }
        }
        ++answered_;
        QMetaObject::invokeMethod(dialog, &QDialog::accept, Qt::QueuedConnection);
    }

    const char* pattern_;
    QTimer timer_;
    QElapsedTimer elapsed_;
    QDialog* last_ = nullptr;
    int answered_ = 0;
};

struct LocaleAndPattern {
    const char* locale;
    device::TestPattern pattern;
};

void PrintTo(const LocaleAndPattern& param, std::ostream* out) {
    *out << param.locale << ", " << device::TestPatternName(param.pattern);
}

class PatternUnderLocale : public ::testing::TestWithParam<LocaleAndPattern> {};

// The user's road: connect to the pattern, pick the picture in the driver's dialogs,
// record three frames.
TEST_P(PatternUnderLocale, ConnectsRecordsThreeFramesAndKeepsDatesEnglish) {
    const LocaleAndPattern& param = GetParam();
    ProcessLocale locale(param.locale);
    ASSERT_TRUE(ProcessLocale::DecimalComma())
        << "locale " << param.locale << " is not available (scripts/install-deps)";

    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString previousDir = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir.path()));
    FakePowerServices power;
    FfmpegDriverRegistry registry(FfmpegDriverRegistry::Devices::None);
    {
        CCaptureDlg dlg(Platform{&registry, &power});
        dlg.Create();
        dlg.driverList->SetCurSel(registry.testPatternIndex());
        dlg.OnConnect();
        ASSERT_EQ(dlg.captureState, Connected) << "the pattern did not connect";
        ASSERT_EQ(dlg.GetWindowText(), QLatin1String("Connect."));

        DriverDialogAnswers answers(device::TestPatternName(param.pattern));
        dlg.OnDriverDialogs();
        EXPECT_EQ(answers.answered(), 4);
        ASSERT_EQ(dlg.captureState, Connected);
        ASSERT_FALSE(dlg.captureWindow.isNull()) << "the chosen pattern did not start";

        dlg.CheckDlgButton(IDC_SUSPEND_END, BST_UNCHECKED);
        dlg.OnStart();
        dlg.OnTimer(TIMER_FRAME);
        dlg.OnTimer(TIMER_FRAME);
        ASSERT_EQ(dlg.captureState, Capturing) << dlg.GetWindowText().toStdString();
        EXPECT_EQ(dlg.frameCount, 3);
        const QString title = dlg.GetWindowText();
        EXPECT_TRUE(kEnglishDate.match(title).hasMatch()) << title.toStdString();
        dlg.OnStop();
    }
    EXPECT_EQ(DecodedFrames(dir.filePath("brslt000.avi")), 3);
    const QString stamp = QString::fromStdString(TimeStampText(std::time(nullptr)));
    EXPECT_TRUE(kEnglishDate.match(stamp).hasMatch()) << stamp.toStdString();
    QDir::setCurrent(previousDir);
}

std::string CaseName(const ::testing::TestParamInfo<LocaleAndPattern>& info) {
    std::string name = std::string(info.param.locale).substr(0, 5);
    switch (info.param.pattern) {
    case device::TestPattern::Gradients: return name + "_Gradients";
    case device::TestPattern::HueBars: return name + "_HueBars";
    case device::TestPattern::Life: return name + "_Life";
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(
    CommaLocales, PatternUnderLocale,
    ::testing::Values(LocaleAndPattern{"de_DE.UTF-8", device::TestPattern::Gradients},
                      LocaleAndPattern{"de_DE.UTF-8", device::TestPattern::HueBars},
                      LocaleAndPattern{"de_DE.UTF-8", device::TestPattern::Life},
                      LocaleAndPattern{"fr_FR.UTF-8", device::TestPattern::Gradients},
                      LocaleAndPattern{"fr_FR.UTF-8", device::TestPattern::HueBars},
                      LocaleAndPattern{"fr_FR.UTF-8", device::TestPattern::Life},
                      LocaleAndPattern{"ru_RU.UTF-8", device::TestPattern::Gradients},
                      LocaleAndPattern{"ru_RU.UTF-8", device::TestPattern::HueBars},
                      LocaleAndPattern{"ru_RU.UTF-8", device::TestPattern::Life}),
    CaseName);

}  // namespace
