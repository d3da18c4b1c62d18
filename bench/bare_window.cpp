// The smallest Qt Widgets program that shows a window and ends: what the
// start-up benchmark holds the program's own start-up against. With
// "--text" the window also shows a label and an editable combo box, so the
// fonts are set up and glyphs laid out as for any window with text.

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QTimer>
#include <QWidget>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QWidget window;
    window.resize(384, 493);
    if (app.arguments().contains(QStringLiteral("--text"))) {
        auto *label = new QLabel(QStringLiteral("Vemo's available:"), &window);
        label->move(16, 8);
        auto *combo = new QComboBox(&window);
        combo->setEditable(true);
        combo->setGeometry(16, 24, 145, 21);
    }
    window.show();
    QTimer::singleShot(0, &app, &QCoreApplication::quit);
    return app.exec();
}
