// A main window on the recording fakes, opened modeless in a fresh temporary directory that
// is also the current directory, so numbered files land there. A test may call TearDown and
// SetUp again to start over in a new directory.
#pragma once

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <unistd.h>

#include <memory>
#include <string>

#include "app/CaptureDlg.h"
#include "common/CaptureSettings.h"
#include "fakes/FakeCaptureWindow.h"
#include "fakes/FakePowerServices.h"

class CaptureDlgFixture : public ::testing::Test {
protected:
    void SetUp() override {
        tempDir = std::make_unique<QTemporaryDir>();
        ASSERT_TRUE(tempDir->isValid());
        previousDir = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(tempDir->path()));
        registry.bytesPerFrame = 1000;
        registry.log.calls.clear();
        power.calls.clear();
        dlg = std::make_unique<CCaptureDlg>(Platform{&registry, &power});
        dlg->Create();
    }
    void TearDown() override {
        dlg.reset();
        QDir::setCurrent(previousDir);
        tempDir.reset();
    }

    // Connects to driver 0 and returns its window.
    FakeCaptureWindow* Connect() {
        dlg->OnConnect();
        EXPECT_EQ(dlg->captureState, Connected);
        return registry.Last();
    }
    // Connects and starts a run; the first frame is grabbed.
    FakeCaptureWindow* StartRun() {
        FakeCaptureWindow* w = Connect();
        dlg->OnStart();
        EXPECT_EQ(dlg->captureState, Capturing);
        return w;
    }
    std::string Path(const char* leaf) const {
        return (tempDir->path() + "/" + leaf).toStdString();
    }
    std::string ControlsSince(size_t index) const {
        std::string out;
        const auto& log = dlg->ControlLog();
        for (size_t i = index; i < log.size(); ++i)
            out += (out.empty() ? "" : ", ") + log[i];
        return out;
    }
    std::string Title() const { return dlg->GetWindowText().toStdString(); }
    std::string Text(int id) const { return dlg->GetDlgItemText(id).toStdString(); }
    bool Enabled(int id) const { return dlg->GetDlgItem(id)->IsWindowEnabled(); }
    bool SliderEnabled() const {
        return dlg->setupPanel.GetDlgItem(IDC_PREVIEW_RATE)->IsWindowEnabled();
    }

    std::unique_ptr<QTemporaryDir> tempDir;
    QString previousDir;
    FakeDriverRegistry registry;
    FakePowerServices power;
    std::unique_ptr<CCaptureDlg> dlg;
};
