// A paste target for the X11 tests: one text field in a window of its own. Every change of its
// text is written to the file named first on the command line; Return writes the text followed
// by "\n[return]". Once shown, the window's X id is written to that file name + ".window".

#include <QApplication>
#include <QLineEdit>
#include <QSaveFile>
#include <QTimer>

namespace {

void write(const QString& path, const QByteArray& content) {
    // All at once, so that the test never reads half of it.
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly)) {
        file.write(content);
        file.commit();
    }
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QStringList arguments = QApplication::arguments();
    if (arguments.size() < 3) {
        return 2;
    }
    const QString path = arguments.at(1);
    QLineEdit field;
    field.setWindowTitle(arguments.at(2));
    field.resize(480, 40);
    QObject::connect(&field, &QLineEdit::textChanged,
                     [&](const QString& text) { write(path, text.toUtf8()); });
    QObject::connect(&field, &QLineEdit::returnPressed,
                     [&] { write(path, field.text().toUtf8() + "\n[return]"); });
    field.show();
    QTimer::singleShot(0, &field, [&] {
        write(path + ".window", QByteArray::number(static_cast<qulonglong>(field.winId())));
    });
    return app.exec();
}
