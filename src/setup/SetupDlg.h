// The setup panel: driver list, preview-rate slider, standby time, text placement and flip,
// size limit per file.
#pragma once

#include <functional>

#include "common/Ids.h"
#include "platform/dialog/Dialog.h"

class CaptureDriverRegistry;

class CSetupDlg : public CDialog {
    Q_OBJECT
public:
    explicit CSetupDlg(QWidget* parent = nullptr);

    BOOL OnInitDialog() override;

    // Done once by the main window right after it created the panel: fills the driver list
    // from the registry (none: the list stays empty) and sets up the slider.
    void SetUpPanel(CaptureDriverRegistry* drivers);
    // Lists the registry's drivers anew, keeping the selection's index where it still exists.
    void FillDriverList(CaptureDriverRegistry* drivers);
    // Where the size box's tip learns what one file holds at the limit (in words, empty
    // while unknown). It is asked each time the tip is about to show, so the tip follows the
    // frame size, the compression and the limit as they are then.
    void SetFileCapacitySource(std::function<QString()> source) {
        fileCapacity_ = std::move(source);
    }
    // The size box's tip as it shows now.
    QString SizeToolTip() const;

    void OnHScroll(UINT code, UINT position, CItem* scrollBar);
    void OnPaint();
    void OnShowWindow(BOOL show, UINT status);
    void OnChangeStandby();
    void OnFlip();
    void OnPlacement();
    void OnClose();
    void OnChangeSizePerFile();

protected:
    const MessageMap& GetMessageMap() const override;
    // Escape hides the panel as its close box does; the panel's own Cancel button is
    // disabled, so the framework's handling would ignore the key.
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::function<QString()> fileCapacity_;
};

// "%5d ms": the preview rate as the panel shows it.
QString FormatPreviewRate(int ms);
