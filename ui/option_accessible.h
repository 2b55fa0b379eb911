// The two compare options are exclusive by our own hand, not by Qt's auto-exclusivity (which
// would let Tab stop at the selected one only). Qt then announces them to assistive
// technology as check boxes; this factory gives them back their role: radio buttons, one of
// them checked.
#pragma once

class QRadioButton;

namespace tavrik {

// Marks the button as one of a pair of options kept exclusive by hand and makes sure the
// accessibility factory that reports such buttons as radio buttons is installed.
void AnnounceAsRadioButton(QRadioButton* button);

}  // namespace tavrik
