// A small window for the tests of clicks and application state: a titled button in a titled
// group, a slider, a text field known only by its placeholder, a password field and a button
// that copies a text. Once shown and active it prints one JSON line with the global rectangle
// of each control, then it runs until closed.
#include <QApplication>
#include <QClipboard>
#include <QGroupBox>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QTimer>
#include <QVBoxLayout>

#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int at = args.indexOf("--title");
    const QString title = at > 0 && at + 1 < args.size() ? args[at + 1] : "Velko Test Window";

    QWidget window;
    window.setWindowTitle(title);
    auto *layout = new QVBoxLayout(&window);
    auto *group = new QGroupBox("Form");
    auto *groupLayout = new QVBoxLayout(group);
    auto *save = new QPushButton("Save");
    groupLayout->addWidget(save);
    auto *slider = new QSlider(Qt::Horizontal);
    slider->setValue(42);
    groupLayout->addWidget(slider);
    groupLayout->addSpacing(40);
    layout->addWidget(group);
    auto *name = new QLineEdit;
    name->setPlaceholderText("Your name");
    layout->addWidget(name);
    auto *password = new QLineEdit;
    password->setEchoMode(QLineEdit::Password);
    layout->addWidget(password);
    auto *copy = new QPushButton("Copy");
    QObject::connect(copy, &QPushButton::clicked,
                     [] { QGuiApplication::clipboard()->setText("copied text"); });
    layout->addWidget(copy);
    window.resize(420, 360);
    window.show();

    auto rect = [](QWidget *widget) {
        const QPoint topLeft = widget->mapToGlobal(QPoint(0, 0));
        return QJsonObject {{"x", topLeft.x()},
                            {"y", topLeft.y()},
                            {"w", widget->width()},
                            {"h", widget->height()}};
    };
    auto *poll = new QTimer(&app);
    QObject::connect(poll, &QTimer::timeout, [&] {
        if (!window.isActiveWindow())
            return;
        poll->stop();
        const QJsonObject controls {
            {"window", rect(&window)}, {"group", rect(group)},
            {"save", rect(save)},      {"slider", rect(slider)},
            {"name", rect(name)},      {"password", rect(password)},
            {"copy", rect(copy)},      {"pid", QCoreApplication::applicationPid()}};
        std::printf("%s\n", QJsonDocument(controls).toJson(QJsonDocument::Compact).constData());
        std::fflush(stdout);
    });
    poll->start(50);
    return app.exec();
}
