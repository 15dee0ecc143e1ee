// A paste target for the X11 and end-to-end tests, `paste_target FILE TITLE`: a text field whose
// text goes to FILE on every change ("\n[return]" after Return), its window's X id to FILE.window.

#include <QApplication>
#include <QLineEdit>
#include <QSaveFile>
#include <QTimer>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 3) {
        return 2;
    }
    const auto write = [](const QString& path, const QByteArray& content) {
        QSaveFile file(path); // all at once: a test never reads half of it
        file.open(QIODevice::WriteOnly) && file.write(content) >= 0 && file.commit();
    };
    const QString path = QString::fromLocal8Bit(argv[1]);
    QLineEdit field;
    QObject::connect(&field, &QLineEdit::textChanged, [&] { write(path, field.text().toUtf8()); });
    QObject::connect(&field, &QLineEdit::returnPressed,
                     [&] { write(path, field.text().toUtf8() + "\n[return]"); });
    field.setWindowTitle(QString::fromUtf8(argv[2]));
    field.show();
    QTimer::singleShot(0, &field,
                       [&] { write(path + ".window", QByteArray::number(field.winId())); });
    return app.exec();
}
