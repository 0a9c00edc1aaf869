// The real program in a real X server: its window is found by its caption,
// stands at its place with its size, and a close from the window system
// (WM_DELETE_WINDOW, as a window manager sends it) ends it with code 0.

#include <QDeadlineTimer>
#include <QProcess>
#include <QTest>
#include <QThread>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <memory>

namespace {

struct DisplayCloser {
    void operator()(Display* d) const { XCloseDisplay(d); }
};
using DisplayPtr = std::unique_ptr<Display, DisplayCloser>;

QString windowName(Display* display, Window window)
{
    const Atom netWmName = XInternAtom(display, "_NET_WM_NAME", False);
    const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    QString name;
    if (XGetWindowProperty(display, window, netWmName, 0, 1024, False, utf8, &type, &format, &count, &after, &data)
            == Success
        && data) {
        name = QString::fromUtf8(reinterpret_cast<const char*>(data), int(count));
    }
    if (data)
        XFree(data);
    return name;
}

Window findWindow(Display* display, Window root, const QString& caption)
{
    Window parentOut, rootOut;
    Window* children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(display, root, &rootOut, &parentOut, &children, &count))
        return 0;
    Window found = 0;
    for (unsigned int i = 0; i < count && !found; ++i) {
        if (windowName(display, children[i]) == caption) {
            XWindowAttributes attributes;
            if (XGetWindowAttributes(display, children[i], &attributes) && attributes.map_state == IsViewable)
                found = children[i];
        }
        if (!found)
            found = findWindow(display, children[i], caption);
    }
    if (children)
        XFree(children);
    return found;
}

}  // namespace

class RealWindowTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void windowOpensInPlaceAndClosesWithCodeZero();
};

void RealWindowTest::windowOpensInPlaceAndClosesWithCodeZero()
{
    const QString binary = qEnvironmentVariable("SPLITREPLACE_BINARY");
    QVERIFY2(!binary.isEmpty(), "SPLITREPLACE_BINARY is not set");
    DisplayPtr display(XOpenDisplay(nullptr));
    QVERIFY2(display, "no X display: run under xvfb-run");

    QProcess program;
    program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    program.start(binary, {});
    QVERIFY(program.waitForStarted());

    const QString caption = QStringLiteral("文本分割替换器");
    Window window = 0;
    for (QDeadlineTimer deadline(20000); !window && !deadline.hasExpired(); QThread::msleep(50))
        window = findWindow(display.get(), DefaultRootWindow(display.get()), caption);
    QVERIFY2(window, "the window did not appear");

    // Without a window manager there is no frame: the window is the whole rectangle.
    XWindowAttributes attributes;
    QVERIFY(XGetWindowAttributes(display.get(), window, &attributes));
    int x = 0, y = 0;
    Window child;
    XTranslateCoordinates(display.get(), window, DefaultRootWindow(display.get()), 0, 0, &x, &y, &child);
    QCOMPARE(QRect(x, y, attributes.width, attributes.height), QRect(50, 50, 361, 345));

    // Not resizable: the size hints pin the size.
    XSizeHints hints{};
    long supplied = 0;
    QVERIFY(XGetWMNormalHints(display.get(), window, &hints, &supplied));
    QVERIFY(hints.flags & PMinSize && hints.flags & PMaxSize);
    QCOMPARE(QSize(hints.min_width, hints.min_height), QSize(361, 345));
    QCOMPARE(QSize(hints.max_width, hints.max_height), QSize(361, 345));

    XEvent close{};
    close.xclient.type = ClientMessage;
    close.xclient.window = window;
    close.xclient.message_type = XInternAtom(display.get(), "WM_PROTOCOLS", False);
    close.xclient.format = 32;
    close.xclient.data.l[0] = long(XInternAtom(display.get(), "WM_DELETE_WINDOW", False));
    close.xclient.data.l[1] = CurrentTime;
    XSendEvent(display.get(), window, False, NoEventMask, &close);
    XFlush(display.get());

    QVERIFY2(program.waitForFinished(20000), "the program did not end after its window was closed");
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
}

QTEST_GUILESS_MAIN(RealWindowTest)
#include "tst_realwindow.moc"
