#pragma once
#include <QIcon>

namespace qvx {
// The window's own icon.
QIcon WindowIcon();
}  // namespace qvx
