// The port list of the settings page. It shows the configured port's name
// even when the scan did not find that port, so its text is that of an
// editable list; but only a choice from the list may count, never typed text:
// the field takes no typing, and Return or leaving the field does not turn
// its text into a choice.
// User-interface thread only.
#pragma once

class QComboBox;

namespace drvvzt {

// Makes an editable list choice-only; the program may still set its text.
void MakeChoiceOnlyList(QComboBox* list);

}  // namespace drvvzt
