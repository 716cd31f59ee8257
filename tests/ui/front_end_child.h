#pragma once
// The test program started as the window front end (see ui_test_main.cpp): answers its
// boxes from P_UPDATE_TEST_ANSWERS ("Yes,No,Ok", in order; "Cancel" on the upgrade window
// presses its Cancel button when it is shown) and writes what it saw to
// P_UPDATE_TEST_RECORD, one line per window:
//   box<TAB>title<TAB>icon<TAB>text<TAB>buttons<TAB>owner<TAB>modality
//   window<TAB>E_Server<TAB>E_db<TAB>E_Position<TAB>E_type
// Line breaks inside texts are written as "\n".

namespace pupdate::testing {

inline constexpr const char* kFrontEndSwitch = "--front-end";

// Makes the next application object answer and record as described above.
void enableFrontEndChild();

} // namespace pupdate::testing
