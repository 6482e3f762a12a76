// The program's resources: the three dialog templates, the string table, the icon and the
// version record.
#pragma once

#include <QIcon>
#include <QString>

#include <optional>

#include "platform/dialog/DialogTemplate.h"

const DialogTemplate& AboutBoxTemplate();     // 100
const DialogTemplate& CaptureDialogTemplate(); // 102
const DialogTemplate& SetupPanelTemplate();   // 129

// A string of the string table; empty when there is none.
QString LookupString(UINT id);
// Replaces a string of the table for the rest of the process (nullopt restores it). Used to
// try the window menu with strings missing.
void OverrideString(UINT id, std::optional<QString> text);

// Icon 128 in its 32 x 32 and 16 x 16 images.
QIcon ApplicationIcon();

// The version record.
struct VersionRecord {
    int major, minor, patch, tweak;
    const char* productName;
    unsigned language;   // 0x0411
    unsigned codePage;   // 0x04b0
};
const VersionRecord& ProgramVersion();
// "1, 2, 0, 3", the way the record writes it.
QString VersionText();
