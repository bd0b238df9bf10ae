// The about box.
#include "gui/AboutDialog.h"

#include <QDesktopServices>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QTimer>
#include <QUrl>

#include "gui/Look.h"

namespace vontal {

namespace {

constexpr int kClientWidth = 323;
constexpr int kClientHeight = 172;
constexpr int kTextTop = 12;

const QColor kMailGround(255, 255, 170);
const QColor kMailInvitationGround(255, 255, 40);
const QColor kWebGround(152, 254, 172);
const QColor kWebInvitationGround(55, 253, 95);
const QColor kClickedGround(0, 255, 0);

// The picture at the left: a prime of the searched form dividing a Fermat number, on a deep
// blue field.
QPixmap DrawPicture() {
    QPixmap picture(115, 138);
    QPainter p(&picture);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient field(0, 0, 0, 138);
    field.setColorAt(0, QColor(10, 20, 90));
    field.setColorAt(1, QColor(40, 90, 200));
    p.fillRect(picture.rect(), field);
    p.setPen(Qt::white);
    p.setFont(ArialBold(17));
    p.drawText(QRect(0, 20, 115, 24), Qt::AlignCenter, QStringLiteral("k\u00b72\u207f+1"));
    QFont small = ArialBold(11);
    small.setItalic(true);
    p.setFont(small);
    p.setPen(QColor(255, 230, 90));
    p.drawText(QRect(0, 50, 115, 20), Qt::AlignCenter, QStringLiteral("divides"));
    p.setFont(ArialBold(15));
    p.setPen(Qt::white);
    p.drawText(QRect(0, 76, 115, 24), Qt::AlignCenter, QStringLiteral("2^2^m+1"));
    p.setPen(QColor(200, 215, 255));
    p.setFont(ArialBold(10));
    p.drawText(QRect(0, 114, 115, 18), Qt::AlignCenter, QStringLiteral("Vontal"));
    return picture;
}

// The small tile of the window's background: white with a faint dot, so the text stays clear.
QPixmap DrawTile() {
    QPixmap tile(57, 31);
    tile.fill(Qt::white);
    QPainter p(&tile);
    p.setPen(QColor(232, 238, 250));
    p.drawPoint(28, 15);
    p.drawPoint(0, 0);
    return tile;
}

void SetGround(QLabel* label, const QColor& ground) {
    QPalette palette = label->palette();
    palette.setColor(QPalette::Window, ground);
    label->setPalette(palette);
}

}  // namespace

void ClickableLabel::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) emit clicked();
    QLabel::mouseReleaseEvent(event);
}

AboutDialog::AboutDialog(const QString& versionText, QWidget* parent)
    : QDialog(parent, Qt::Tool | Qt::WindowTitleHint | Qt::WindowCloseButtonHint) {
    setObjectName(QStringLiteral("aboutDialog"));
    setWindowTitle(QStringLiteral("About"));
    setModal(true);
    setFixedSize(kClientWidth, kClientHeight);
    QPalette background = palette();
    background.setBrush(QPalette::Window, QBrush(DrawTile()));
    setPalette(background);
    setAutoFillBackground(true);

    picture_ = new QLabel(this);
    picture_->setObjectName(QStringLiteral("picture"));
    picture_->setGeometry(6, 17, 115, 138);
    picture_->setPixmap(DrawPicture());

    aboutText_ = new QLabel(this);
    aboutText_->setObjectName(QStringLiteral("aboutText"));
    aboutText_->setFont(ArialBold(11));
    aboutText_->setGeometry(128, kTextTop, 192, 9 * QFontMetrics(aboutText_->font()).lineSpacing());
    aboutText_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    QPalette blue = aboutText_->palette();
    blue.setColor(QPalette::WindowText, Qt::blue);
    aboutText_->setPalette(blue);
    aboutText_->setText(QStringLiteral("Vontal.exe -version ") + versionText + QStringLiteral(", beta\n") +
                      QStringLiteral("Vontal Number Factor Search\n"
                                     "Divisors of Fermat numbers\n"
                                     "(c) the Vontal contributors\n"
                                     "Free software, no warranty\n"
                                     "\n"
                                     "\n"
                                     "      Project for search on Web:"));

    // The line height of aboutText_ places the clickable lines over its empty lines 6 and 7 and
    // under its line 8.
    const int line = QFontMetrics(aboutText_->font()).lineSpacing();
    auto clickable = [this](const char* name, int y, int height) {
        auto* label = new ClickableLabel(this);
        label->setObjectName(QString::fromLatin1(name));
        label->setFont(ArialBold(11));
        label->setGeometry(128, y, 188, height);
        label->setAlignment(Qt::AlignCenter);
        label->setAutoFillBackground(true);
        label->setCursor(Qt::PointingHandCursor);
        return label;
    };
    mailLine_ = clickable("mailLine", kTextTop + 5 * line + 5, 2 * line - 6);
    webLine_ = clickable("webLine", kTextTop + 8 * line + 6, line + 4);
    connect(mailLine_, &ClickableLabel::clicked, this, [this] { MailClicked(); });
    connect(webLine_, &ClickableLabel::clicked, this, [this] { WebClicked(); });
    ShowLines(false);

    blinkTimer_ = new QTimer(this);
    blinkTimer_->setObjectName(QStringLiteral("blinkTimer"));
    blinkTimer_->setInterval(500);
    connect(blinkTimer_, &QTimer::timeout, this, [this] { BlinkTick(); });
}

void AboutDialog::ShowLines(bool invitation) {
    invitation_ = invitation;
    mailLine_->setText(invitation ? QStringLiteral("Click here to mail me") : QString::fromLatin1(kProjectMail));
    SetGround(mailLine_, invitation ? kMailInvitationGround : kMailGround);
    webLine_->setText(invitation ? QStringLiteral("News, Data, Status, Program etc") : QString::fromLatin1(kProjectWeb));
    SetGround(webLine_, invitation ? kWebInvitationGround : kWebGround);
    // Each change starts the count again, which gives the 4 s / 2 s rhythm.
    ticks_ = 0;
}

void AboutDialog::BlinkTick() {
    ++ticks_;
    if (!invitation_ && ticks_ % 8 == 0)
        ShowLines(true);
    else if (invitation_ && ticks_ % 8 == 4)
        ShowLines(false);
}

void AboutDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    ShowLines(false);
    blinkTimer_->start();
}

void AboutDialog::hideEvent(QHideEvent* event) {
    blinkTimer_->stop();
    QDialog::hideEvent(event);
}

void AboutDialog::MailClicked() {
    // The line turns green at once, so the click is seen while the mail program starts.
    SetGround(mailLine_, kClickedGround);
    mailLine_->repaint();
    QTimer::singleShot(100, this, [] {
        QDesktopServices::openUrl(QUrl(QStringLiteral("mailto:") + QString::fromLatin1(kProjectMail)));
    });
}

void AboutDialog::WebClicked() { QDesktopServices::openUrl(QUrl(QString::fromLatin1(kProjectWeb))); }

}  // namespace vontal
