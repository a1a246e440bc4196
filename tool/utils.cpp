#include "utils.h"

#include <QFile>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>
#include <QShowEvent>
#include <QTextCodec>

#include <cstring>

namespace {

// QMessageBox fits itself tightly to its text whenever it lays itself out, which would
// make a short tip smaller than its minimum; this box keeps the minimum of 200 x 200.
class MsgTipBox : public QMessageBox
{
public:
    static constexpr int kMinimumSide = 200;

protected:
    void showEvent(QShowEvent *event) override
    {
        QMessageBox::showEvent(event);
        keepMinimum();
    }

    bool event(QEvent *event) override
    {
        const bool handled = QMessageBox::event(event);
        if (event->type() == QEvent::LayoutRequest)
            keepMinimum();
        return handled;
    }

private:
    void keepMinimum()
    {
        const QSize minimum = minimumSize().expandedTo(QSize(kMinimumSide, kMinimumSide));
        if (minimum != minimumSize())
            setMinimumSize(minimum);
    }
};

} // namespace

Utils::Utils(QObject *parent)
    : QObject(parent)
{
}

Utils::~Utils() = default;

QString Utils::readfile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return QString();
    const QByteArray bytes = file.readAll();
    file.close();

    QTextCodec *codec = QTextCodec::codecForName("GBK");
    if (!codec)
        return QString();
    return codec->toUnicode(bytes);
}

static QString decodeWith(const char *codecName, const char *bytes)
{
    if (!bytes)
        return QString();
    QTextCodec *codec = QTextCodec::codecForName(codecName);
    if (!codec)
        return QString();
    return codec->toUnicode(bytes, static_cast<int>(std::strlen(bytes)));
}

QString Utils::convertCharToGBKStr(const char *bytes)
{
    return decodeWith("GBK", bytes);
}

QString Utils::convertCharToUTF8Str(const char *bytes)
{
    return decodeWith("UTF-8", bytes);
}

QList<QString> Utils::parseCharArray(char *list, int length)
{
    QList<QString> names;
    if (!list || length <= 0)
        return names;
    QTextCodec *codec = QTextCodec::codecForName("UTF-8");
    if (!codec)
        return names;

    int offset = 0;
    while (offset < length) {
        // A name ends at its NUL, and never reaches past the reported length.
        const void *nul = std::memchr(list + offset, '\0', static_cast<size_t>(length - offset));
        const int size = nul ? static_cast<int>(static_cast<const char *>(nul) - (list + offset))
                             : length - offset;
        const QString name = codec->toUnicode(list + offset, size);
        if (name.isEmpty())
            break;
        names.append(name);
        offset += size + 1;
    }
    return names;
}

void Utils::showMsgTip(const QString &text)
{
    MsgTipBox box;
    box.setWindowTitle(tr("温馨提示："));
    box.setText(text);
    box.setIcon(QMessageBox::Warning);
    box.setSizeGripEnabled(true);
    box.setWindowFlags(Qt::MSWindowsFixedSizeDialogHint);
    box.setMinimumSize(MsgTipBox::kMinimumSide, MsgTipBox::kMinimumSide);
    box.addButton(QString::fromUtf8("确定"), QMessageBox::AcceptRole);
    box.exec();
}

QString Utils::pinCharsetTip()
{
    return text("PIN码中含有不支持的字符！");
}

QString Utils::pinLengthTip()
{
    return text("PIN码长度不能超过") + QString::number(kMaxPinLength) + text("个字符！");
}

QString Utils::retriesText(ULONG result)
{
    return result == kNoRetryLeft ? QStringLiteral("0") : QString::number(result);
}

QString Utils::pinRefusedTip(ULONG result)
{
    return text("原PIN码校验失败,剩余") + retriesText(result) + text("次机会，无法修改PIN码！");
}

QString Utils::getLibName(int kind, const QString &path)
{
    QString result;
    const char *key = nullptr;
    if (kind == 0)
        key = "SKFLIBNAME";
    else if (kind == 1)
        key = "OESLIBNAME";

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return result;
    if (!key)
        return result;

    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine());
        if (!line.startsWith(QLatin1String(key)))
            continue;
        const QStringList parts = line.split(QLatin1Char(':'));
        // A key line without ':' carries no value.
        if (parts.size() > 1)
            result = parts.at(1);
        break;
    }
    return result;
}

QString Utils::showPwdDialog(QWidget *parent)
{
    return QInputDialog::getText(parent, QString::fromUtf8("请您输入PIN"), QStringLiteral("PIN:"),
                                 QLineEdit::Password, QString(), nullptr, Qt::WindowFlags(),
                                 Qt::ImhNone);
}
