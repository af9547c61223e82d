// The yardsticks for memory: an empty window of the same toolkit, doing
// nothing; with --japanese-title, the same window showing one Japanese line in
// a 24-point Japanese font, which is what it costs to show Japanese at all.
#include <QApplication>
#include <QLabel>
#include <QWidget>

#include <cstring>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QWidget window;
    window.resize(375, 189);
    if (argc > 1 && std::strcmp(argv[1], "--japanese-title") == 0) {
        auto *label = new QLabel(QStringLiteral("受信通知サーバ"), &window);
        QFont font;
        font.setFamilies({QStringLiteral("Noto Sans CJK JP")});
        font.setPointSize(24);
        label->setFont(font);
    }
    window.show();
    return app.exec();
}
