#pragma once

#include "widget.h"

#include <QFile>
#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QLineEdit>
#include <QPushButton>
#include <QTcpSocket>
#include <QTextEdit>

// Reads and sets the window's private state for tests, and finds its controls by object
// name as a user would see them.
class WidgetProbe
{
public:
    static QTcpSocket *socket(Widget &w) { return w.socket; }
    static bool canSend(Widget &w) { return w.canSend; }
    static QString userName(Widget &w) { return w.userName; }
    static void setUserName(Widget &w, const QString &name) { w.userName = name; }
    static QFile *fileOut(Widget &w) { return w.fileOut; }
    static QFile *fileIn(Widget &w) { return w.fileIn; }
    static QGraphicsScene *scene(Widget &w) { return w.scene; }
    static QGraphicsPixmapItem *pixmapItem(Widget &w) { return w.pixmapItem; }
    static QByteArray separator(Widget &w) { return w.separator; }
    static QString passwdSalt(Widget &w) { return w.passwdSalt; }
    static tavrel::MessageAssembler *assembler(Widget &w) { return w.assembler; }

    template<typename T = QWidget> static T *control(Widget &w, const char *name)
    {
        return w.findChild<T *>(QLatin1String(name));
    }
    static QPushButton *button(Widget &w, const char *name) { return control<QPushButton>(w, name); }
    static QLineEdit *lineEdit(Widget &w, const char *name) { return control<QLineEdit>(w, name); }
    static QTextEdit *textEdit(Widget &w, const char *name) { return control<QTextEdit>(w, name); }
};
