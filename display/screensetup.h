#pragma once

class TXImage3;

// Places the screen on its window, gives it its two 600 by 200 palette bitmaps
// and the phosphor palette, and shows the empty (black) picture once.
void SetUpScreen(TXImage3& xmg);
