// The About window: one object for every opening, modal over the drawer
// window while the drawer keeps being polled, its keys, layout and picture.

#include "about/aboutform.h"
#include "about/picturebox.h"
#include "app/mainform.h"
#include "fakedrawerlibrary.h"
#include "formprobe.h"

#include <QPainter>
#include <QSvgRenderer>
#include <QTest>

#include <functional>
#include <memory>

using FormUnits::twipsRect;

class AboutTest : public QObject {
    Q_OBJECT

private:
    FakeDrawerLibrary library;
    std::unique_ptr<MainForm> form;

    AboutForm *about() const { return form->findChild<AboutForm *>(QStringLiteral("AboutForm")); }

    // Chooses "Help", "About" and runs inside() while the About window is up,
    // inside its modal loop. Returns once the window is hidden again; if
    // inside() left it open, it is hidden here and that is a failure.
    bool whileAboutIsOpen(const std::function<void(AboutForm *)> &inside)
    {
        bool leftOpen = false;
        QTimer::singleShot(0, form.get(), [&] {
            auto *dialog = qobject_cast<AboutForm *>(QApplication::activeModalWidget());
            if (!dialog)
                return;
            // A window manager activates a new window; the headless platform
            // leaves that to the program.
            dialog->activateWindow();
            if (!QTest::qWaitFor([&] { return QApplication::activeWindow() == dialog; }))
                return dialog->hide();
            inside(dialog);
            if (dialog->isVisible()) {
                leftOpen = true;
                dialog->hide();
            }
        });
        form->findChild<QAction *>(QStringLiteral("mnuAbout"))->trigger();
        // And back to the drawer window, as a window manager would.
        form->activateWindow();
        const bool back
            = QTest::qWaitFor([&] { return QApplication::activeWindow() == form.get(); });
        return back && !leftOpen;
    }

private slots:
    void init()
    {
        library = FakeDrawerLibrary();
        library.handleAnswer = 5;
        form = std::make_unique<MainForm>(library, [] {});
        form->show();
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
    }

    void cleanup() { form.reset(); }

    void onlyOneAboutWindowEverExists()
    {
        QVERIFY(!about());
        AboutForm *first = nullptr;
        QVERIFY(whileAboutIsOpen([&](AboutForm *dialog) {
            first = dialog;
            QTest::mouseClick(dialog->findChild<QPushButton *>("Command1"), Qt::LeftButton);
        }));
        QVERIFY(first);
        QCOMPARE(about(), first);
        QVERIFY(!first->isVisible());

        for (int opening = 0; opening < 2; ++opening) {
            AboutForm *again = nullptr;
            QVERIFY(whileAboutIsOpen([&](AboutForm *dialog) {
                again = dialog;
                dialog->close(); // the title bar's close button
            }));
            QCOMPARE(again, first);
        }
        QCOMPARE(form->findChildren<AboutForm *>().size(), 1);
    }

    void keysCloseItOnlyThroughTheCloseButton_data()
    {
        QTest::addColumn<QString>("focus");
        QTest::addColumn<QKeySequence>("keys");
        QTest::addColumn<bool>("closes");
        QTest::newRow("Esc") << "Command1" << QKeySequence(Qt::Key_Escape) << false;
        QTest::newRow("Enter on Close") << "Command1" << QKeySequence(Qt::Key_Return) << true;
        QTest::newRow("keypad Enter on Close")
            << "Command1" << QKeySequence(Qt::KeypadModifier | Qt::Key_Enter) << true;
        QTest::newRow("Space on Close") << "Command1" << QKeySequence(Qt::Key_Space) << true;
        QTest::newRow("Alt+C") << "Command1" << QKeySequence(Qt::ALT | Qt::Key_C) << true;
        QTest::newRow("Alt+C from the picture")
            << "Picture1" << QKeySequence(Qt::ALT | Qt::Key_C) << true;
        QTest::newRow("Enter on the picture")
            << "Picture1" << QKeySequence(Qt::Key_Return) << false;
        QTest::newRow("keypad Enter on the picture")
            << "Picture1" << QKeySequence(Qt::KeypadModifier | Qt::Key_Enter) << false;
        QTest::newRow("Space on the picture") << "Picture1" << QKeySequence(Qt::Key_Space) << false;
        QTest::newRow("Esc on the picture") << "Picture1" << QKeySequence(Qt::Key_Escape) << false;
    }

    void keysCloseItOnlyThroughTheCloseButton()
    {
        QFETCH(QString, focus);
        QFETCH(QKeySequence, keys);
        QFETCH(bool, closes);
        bool focusedOnOpening = false;
        bool closed = false;
        whileAboutIsOpen([&](AboutForm *dialog) {
            auto *close = dialog->findChild<QPushButton *>("Command1");
            focusedOnOpening = close->hasFocus();
            if (focus == QLatin1String("Picture1"))
                QTest::keyClick(close, Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget()->objectName(), focus);
            QTest::keySequence(QApplication::focusWidget(), keys);
            // An access key presses its button visibly, a moment later.
            closed = closes ? QTest::qWaitFor([dialog] { return !dialog->isVisible(); })
                            : !dialog->isVisible();
        });
        QVERIFY(focusedOnOpening);
        QCOMPARE(closed, closes);
    }

    void closeIsNeverTheDefaultButton()
    {
        // A dialog makes a button its default as the button takes the focus;
        // "Close" must stay an ordinary button, drawn as one, wherever the
        // focus is.
        QStringList focusAndDefault;
        QVERIFY(whileAboutIsOpen([&](AboutForm *dialog) {
            auto *close = dialog->findChild<QPushButton *>("Command1");
            for (int step = 0; step < 3; ++step) {
                if (step > 0)
                    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
                focusAndDefault << QApplication::focusWidget()->objectName()
                        + (close->isDefault() ? QStringLiteral(", Close default") : QString());
            }
            dialog->hide();
        }));
        QCOMPARE(focusAndDefault, QStringList({"Command1", "Picture1", "Command1"}));
    }

    void closeHoldsTheFocusAtEveryOpening()
    {
        bool movedAway = false;
        whileAboutIsOpen([&](AboutForm *dialog) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            movedAway = dialog->findChild<QWidget *>("Picture1")->hasFocus();
            dialog->hide();
        });
        QVERIFY(movedAway);
        bool focused = false;
        whileAboutIsOpen([&](AboutForm *dialog) {
            focused = dialog->findChild<QPushButton *>("Command1")->hasFocus();
        });
        QVERIFY(focused);
    }

    void drawerWindowTakesNoInputButKeepsPolling()
    {
        QTimer *timer = FormProbe {form.get()}.timer();
        QTRY_VERIFY(library.calls.size() >= 3); // connected and polling
        qsizetype callsBefore = 0;
        qsizetype callsAfter = 0;
        QStringList callsDuringClicks;
        whileAboutIsOpen([&](AboutForm *) {
            QVERIFY(timer->isActive());
            callsBefore = library.calls.size();
            QTRY_VERIFY(library.calls.size() >= callsBefore + 3);
            callsAfter = library.calls.size();

            // Clicks reach the drawer window through the window system, which
            // holds them back while the About window is modal.
            library.duringCall = [&] { callsDuringClicks << library.calls.last(); };
            auto *open = FormProbe {form.get()}.find<QPushButton>("Open_Button");
            QWindow *window = form->windowHandle();
            QTest::mouseClick(
                window, Qt::LeftButton, {}, open->mapTo(form.get(), open->rect().center()));
            QTest::keyClick(window, Qt::Key_O, Qt::ControlModifier);
            library.duringCall = nullptr;
        });
        QVERIFY(callsAfter >= callsBefore + 3);
        QVERIFY2(callsDuringClicks.filter(QStringLiteral("OpenDrawer")).isEmpty(),
            qPrintable(callsDuringClicks.join(',')));
    }

    void layoutAsDefined_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QRect>("geometry");
        QTest::addColumn<qreal>("pointSize");
        QTest::addColumn<bool>("bold");
        QTest::newRow("Command1") << "Command1"
                                  << "&Close" << twipsRect(3120, 2280, 1575, 615) << 13.5 << false;
        QTest::newRow("Label3") << "Label3"
                                << "2.0.0" << twipsRect(120, 1920, 975, 255) << 9.75 << true;
        QTest::newRow("Label2") << "Label2"
                                << "Version:" << twipsRect(120, 1680, 975, 255) << 9.75 << true;
        QTest::newRow("Label1") << "Label1"
                                << "Kestrin Cash Drawer USB Controller"
                                << twipsRect(120, 120, 4695, 495) << 13.5 << true;
    }

    void layoutAsDefined()
    {
        QFETCH(QString, name);
        QFETCH(QString, caption);
        QFETCH(QRect, geometry);
        QFETCH(qreal, pointSize);
        QFETCH(bool, bold);
        AboutForm dialog;
        QCOMPARE(dialog.windowTitle(), "About USB Cash Drawer Controller");
        auto *control = dialog.findChild<QWidget *>(name);
        QVERIFY(control);
        QCOMPARE(control->property("text").toString(), caption);
        QCOMPARE(control->geometry(), geometry);
        QCOMPARE(control->font().pointSizeF(), pointSize);
        QCOMPARE(control->font().bold(), bold);
        QCOMPARE(QFontInfo(control->font()).family(), FormUnits::formFontFamily());
        QString shown = caption;
        QVERIFY(
            QFontMetrics(control->font()).horizontalAdvance(shown.remove('&')) <= geometry.width());
        if (qobject_cast<QLabel *>(control))
            QCOMPARE(control->focusPolicy(), Qt::NoFocus);
    }

    void windowIsFixedWithoutMinimiseOrMaximise()
    {
        AboutForm dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QCOMPARE(dialog.size(), QSize(321, 197));
        QCOMPARE(dialog.minimumSize(), dialog.maximumSize());
        dialog.resize(400, 300);
        QCOMPARE(dialog.size(), QSize(321, 197));
        QVERIFY(!(
            dialog.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
        QVERIFY(dialog.windowFlags() & Qt::WindowCloseButtonHint);
    }

    void emblemIsShownUnscaledFromTheTopLeftAndCutAtTheRight()
    {
        AboutForm dialog;
        auto *picture = dialog.findChild<PictureBox *>(QStringLiteral("Picture1"));
        QVERIFY(picture);
        QCOMPARE(picture->geometry(), twipsRect(1560, 600, 3135, 1575));
        QCOMPARE(picture->focusPolicy() & Qt::TabFocus, Qt::TabFocus);
        // 62.41 x 27.41 mm at 96 dots per inch.
        QCOMPARE(qRound(picture->naturalSize().width()), 236);
        QCOMPARE(qRound(picture->naturalSize().height()), 104);
        const QRect inside = picture->contentsRect();
        QVERIFY(inside.width() < 236);
        QCOMPARE(picture->pictureRect().topLeft(), QPointF(inside.topLeft()));

        // What the box shows inside its border is the picture's top-left part,
        // pixel for pixel; its right-hand end is not shown.
        const QImage shown = picture->grab().toImage().convertToFormat(QImage::Format_RGB32);
        QImage expected(picture->size(), QImage::Format_RGB32);
        expected.fill(Qt::magenta);
        {
            QPainter painter(&expected);
            painter.setClipRect(inside);
            QSvgRenderer(QStringLiteral(":/usb-emblem.svg"))
                .render(&painter, picture->pictureRect());
        }
        QCOMPARE(shown.copy(inside), expected.copy(inside));
        QCOMPARE(picture->size(), twipsRect(0, 0, 3135, 1575).size());
    }
};

QTEST_MAIN(AboutTest)
#include "tst_about.moc"
