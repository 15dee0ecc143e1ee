// A paste target for the X11 tests: one text field in a window of its own, titled by the second
// argument. Every change of its text is written to the file named first; Return writes the text
// followed by "\n[return]". Once shown, it prints its window's X id.

#include <cstdio>

#include <QApplication>
#include <QLineEdit>
#include <QSaveFile>
#include <QTimer>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 3) {
        return 2;
    }
    QLineEdit field;
    const auto write = [&](const QByteArray& content) {
        QSaveFile file(QString::fromLocal8Bit(argv[1])); // all at once: never read half-written
        file.open(QIODevice::WriteOnly) && file.write(content) >= 0 && file.commit();
    };
    QObject::connect(&field, &QLineEdit::textChanged, [&] { write(field.text().toUtf8()); });
    QObject::connect(&field, &QLineEdit::returnPressed,
                     [&] { write(field.text().toUtf8() + "\n[return]"); });
    field.setWindowTitle(QString::fromUtf8(argv[2]));
    field.show();
    QTimer::singleShot(0, &field, [&] {
        std::printf("%llu\n", static_cast<unsigned long long>(field.winId()));
        std::fflush(stdout);
    });
    return app.exec();
}
