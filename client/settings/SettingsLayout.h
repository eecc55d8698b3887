// What the settings pages share in their forms.
#pragma once

// The longest text an edit of a page takes: the device keeps such texts in 260-byte fields.
inline constexpr int kMaxEditText = 259;
