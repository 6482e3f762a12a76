// A main window on the recording fakes, opened modeless in a fresh temporary directory that
// is also the current directory, so numbered files land there.
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
        ASSERT_TRUE(dir.isValid());
        previousDir = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(dir.path()));
        registry.bytesPerFrame = 1000;
        dlg = std::make_unique<CCaptureDlg>(Platform{&registry, &power});
        dlg->Create();
    }
    void TearDown() override {
        dlg.reset();
        QDir::setCurrent(previousDir);
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
    std::string Path(const char* leaf) const { return (dir.path() + "/" + leaf).toStdString(); }
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

    QTemporaryDir dir;
    QString previousDir;
    FakeDriverRegistry registry;
    FakePowerServices power;
    std::unique_ptr<CCaptureDlg> dlg;
};
