// The program's pictures and icons, drawn with QPainter when first asked for and kept for
// the program's life. GUI thread only.
#pragma once

#include <QIcon>
#include <QPixmap>

#include "app/frame.h"

namespace verdan::gui {

QPixmap Wallpaper();      // a tile repeated over the frame's client area
QPixmap FramePicture();   // the picture on the frame's client area
QPixmap SplashPicture();  // the splash window's picture
QIcon ProgramIcon();      // every window's default icon
QIcon ButtonIcon(app::FrameButton button);
QIcon FolderIcon();  // the archive-choosing and directory buttons

}  // namespace verdan::gui
