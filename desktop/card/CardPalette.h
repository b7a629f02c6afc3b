#pragma once

// The card's colours, sRGB with full opacity. The card always draws in its dark appearance and
// shows these values unchanged.

#include <QColor>

namespace quillmere::CardPalette {

inline const QColor background{36, 37, 41};
inline const QColor primary{247, 247, 248};
inline const QColor secondary{213, 215, 223};
inline const QColor accent{145, 168, 255};
inline const QColor muted{168, 171, 181};
inline const QColor border{69, 71, 77};
inline const QColor button{65, 105, 245};
inline const QColor detailBackground{41, 42, 47};
inline const QColor fitChipBackground{23, 63, 49};
inline const QColor fitChipBorder{45, 123, 94};
inline const QColor fitChipText{141, 227, 186};
inline const QColor switchChipBackground{23, 54, 83};
inline const QColor switchChipBorder{47, 110, 170};
inline const QColor switchChipText{157, 207, 255};
inline const QColor savingsChipBackground{60, 50, 21};
inline const QColor savingsChipBorder{134, 111, 37};
inline const QColor savingsChipText{242, 215, 111};

// The platform's dark-appearance system colours, used for the request-log status dots.
inline const QColor systemRed{255, 69, 58};
inline const QColor systemGreen{50, 215, 75};

} // namespace quillmere::CardPalette
