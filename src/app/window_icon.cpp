#include "app/window_icon.h"

#include <QPixmap>

namespace qvx {
namespace {
// 32 x 32, 16 colours: a noise spectrum on a scope screen.
const char* const kIconXpm[] = {"32 32 10 1",
                                ". c None",
                                "  c #000000",
                                "k c #202020",
                                "g c #808080",
                                "w c #C0C0C0",
                                "W c #FFFFFF",
                                "b c #0000FF",
                                "B c #0080FF",
                                "y c #FFFF00",
                                "G c #008000",
                                "................................",
                                "................................",
                                ".wwwwwwwwwwwwwwwwwwwwwwwwwwwwww.",
                                ".wwwwwwwwwwwwwwwwwwwwwwwwwwwwww.",
                                ".wwk k kkk k k k kkk k k k kkww.",
                                ".ww                          ww.",
                                ".wwk    k    k    k    k    kww.",
                                ".ww                          ww.",
                                ".wwBBk kkk k k k kkk k k k kkww.",
                                ".ww B                        ww.",
                                ".wwkB   k    k    k    k    kww.",
                                ".ww BB                       ww.",
                                ".wwk B kkk k k BBkkk k k k kkww.",
                                ".ww  BB        BB     BB     ww.",
                                ".wwk  BBB    k BB k   BB    kww.",
                                ".ww   BBBB     BB     BB     ww.",
                                ".wwk kBBkBBB k BBkkk kBB k kkww.",
                                ".ww      BBBBBBBBBB   BB     ww.",
                                ".wwk    kBB BBBB  B BBBB BBBBww.",
                                ".ww         BBBB  BBB  BBBBB ww.",
                                ".wwk k kkk k k k kkk k BBkBBkww.",
                                ".ww                          ww.",
                                ".wwk    k    k    k    k    kww.",
                                ".ww                          ww.",
                                ".wwwwwwwwwwwwwwwwwwwwwwwwwwwwww.",
                                ".wwwwwwwwwwwwwwwwwwwwwwwwwwwwww.",
                                ".wwwgwwgwwgwwgwwgwwgwwgwGGwGGww.",
                                ".wwwgwwgwwgwwgwwgwwgwwgwwgwwwww.",
                                ".wwwwwwwwwwwwwwwwwwwwwwwwwwwwww.",
                                ".wwwwwwwwwwwwwwwwwwwwwwwwwwwwww.",
                                "................................",
                                "................................"};
}  // namespace

QIcon WindowIcon() { return QIcon(QPixmap(kIconXpm)); }

}  // namespace qvx
