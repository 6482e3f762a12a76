// Tool tips of the main window's and the setup panel's controls: what each does, in plain
// words, with its unit and the values it accepts.
#pragma once

#include <QString>

#include "platform/WinTypes.h"

class CWnd;
struct DialogItem;

// The tip of one control of a template (by its id, or by its text for a static without id);
// empty when the control has none.
QString ControlToolTip(int templateId, const DialogItem& item);

// A tip as rich text, so that the tool tip wraps long lines instead of running off the
// screen.
QString AsToolTip(const QString& plain);

// Gives every control of the window that has a tip its tip.
void ApplyToolTips(CWnd& window);

// The tip of the placement button for its state (0 unchecked, 1 checked, 2 indeterminate):
// what the state does now and what the next click brings.
QString PlacementToolTip(UINT state);

// The tip of the preview: the capture window that connect puts into the main window.
QString PreviewToolTip();

// The tip of the size box: the limit, and what one file holds at it (capacity, in words;
// empty while that is not known).
QString SizePerFileToolTip(const QString& capacity);
