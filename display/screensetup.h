#pragma once

#include "ecg/sweep.h"

class TXImage3;

// Where the screen lies on its window. Its size is that of the sweep's
// picture, ecg::kScreenWidth by ecg::kScreenHeight, shown one to one with
// row 0 at the bottom: row r lies at window y kScreenTop + kScreenHeight - 1 - r.
inline constexpr int kScreenLeft = 50;
inline constexpr int kScreenTop = 20;

// Places the screen on its window, gives it its two palette bitmaps of the
// picture's size and the phosphor palette, and shows the empty (black)
// picture once.
void SetUpScreen(TXImage3& xmg);
