// The five 16 x 16 pictures shared by the tray icon and the tab headers.
#pragma once
#include <QIcon>
#include <QList>
#include <QPixmap>

enum TPictureIndex {
    PictureIdle = 0,     // blue and yellow figure
    PictureBusy = 1,     // red face
    PicturePower = 2,    // tab "Servisní nastavení"
    PictureChecklist = 3,// tab "Konfigurace terminálů"
    PictureMagnifier = 4 // tab "Ovládání terminálu"
};

QList<QPixmap> make_image_list();
// The window's icon: the hicolor icon the package installs, else the idle
// figure at the usual icon sizes.
QIcon program_icon();
