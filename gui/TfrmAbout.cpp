// The about box.
#include "gui/TfrmAbout.h"

#include <QDesktopServices>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QTimer>
#include <QUrl>

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

QFont ArialBold(int pixelSize) {
    QFont font(QStringLiteral("Arial"));
    font.setPixelSize(pixelSize);
    font.setBold(true);
    return font;
}

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

void TClickLabel::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) emit clicked();
    QLabel::mouseReleaseEvent(event);
}

TfrmAbout::TfrmAbout(const QString& versionText, QWidget* parent)
    : QDialog(parent, Qt::Tool | Qt::WindowTitleHint | Qt::WindowCloseButtonHint) {
    setObjectName(QStringLiteral("frmAbout"));
    setWindowTitle(QStringLiteral("About"));
    setModal(true);
    setFixedSize(kClientWidth, kClientHeight);
    QPalette background = palette();
    background.setBrush(QPalette::Window, QBrush(DrawTile()));
    setPalette(background);
    setAutoFillBackground(true);

    Image1 = new QLabel(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setGeometry(6, 17, 115, 138);
    Image1->setPixmap(DrawPicture());

    lblAbout = new QLabel(this);
    lblAbout->setObjectName(QStringLiteral("lblAbout"));
    lblAbout->setFont(ArialBold(11));
    lblAbout->setGeometry(128, kTextTop, 192, 9 * QFontMetrics(lblAbout->font()).lineSpacing());
    lblAbout->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    QPalette blue = lblAbout->palette();
    blue.setColor(QPalette::WindowText, Qt::blue);
    lblAbout->setPalette(blue);
    lblAbout->setText(QStringLiteral("Vontal.exe -version ") + versionText + QStringLiteral(", beta\n") +
                      QStringLiteral("Vontal Number Factor Search\n"
                                     "Divisors of Fermat numbers\n"
                                     "(c) the Vontal contributors\n"
                                     "Free software, no warranty\n"
                                     "\n"
                                     "\n"
                                     "      Project for search on Web:"));

    // The line height of lblAbout places the clickable lines over its empty lines 6 and 7 and
    // under its line 8.
    const int line = QFontMetrics(lblAbout->font()).lineSpacing();
    auto clickable = [this](const char* name, int y, int height) {
        auto* label = new TClickLabel(this);
        label->setObjectName(QString::fromLatin1(name));
        label->setFont(ArialBold(11));
        label->setGeometry(128, y, 188, height);
        label->setAlignment(Qt::AlignCenter);
        label->setAutoFillBackground(true);
        label->setCursor(Qt::PointingHandCursor);
        return label;
    };
    lblMail = clickable("lblMail", kTextTop + 5 * line + 5, 2 * line - 6);
    lblWeb = clickable("lblWeb", kTextTop + 8 * line + 6, line + 4);
    connect(lblMail, &TClickLabel::clicked, this, [this] { lblMailClick(); });
    connect(lblWeb, &TClickLabel::clicked, this, [this] { lblWebClick(); });
    ShowLines(false);

    timAbout = new QTimer(this);
    timAbout->setObjectName(QStringLiteral("timAbout"));
    timAbout->setInterval(500);
    connect(timAbout, &QTimer::timeout, this, [this] { timAboutTimer(); });
}

void TfrmAbout::ShowLines(bool invitation) {
    invitation_ = invitation;
    lblMail->setText(invitation ? QStringLiteral("Click here to mail me") : QString::fromLatin1(kProjectMail));
    SetGround(lblMail, invitation ? kMailInvitationGround : kMailGround);
    lblWeb->setText(invitation ? QStringLiteral("News, Data, Status, Program etc") : QString::fromLatin1(kProjectWeb));
    SetGround(lblWeb, invitation ? kWebInvitationGround : kWebGround);
    // Each change starts the count again, which gives the 4 s / 2 s rhythm.
    ticks_ = 0;
}

void TfrmAbout::timAboutTimer() {
    ++ticks_;
    if (!invitation_ && ticks_ % 8 == 0)
        ShowLines(true);
    else if (invitation_ && ticks_ % 8 == 4)
        ShowLines(false);
}

void TfrmAbout::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    ShowLines(false);
    timAbout->start();
}

void TfrmAbout::hideEvent(QHideEvent* event) {
    timAbout->stop();
    QDialog::hideEvent(event);
}

void TfrmAbout::lblMailClick() {
    // The line turns green at once, so the click is seen while the mail program starts.
    SetGround(lblMail, kClickedGround);
    lblMail->repaint();
    QTimer::singleShot(100, this, [] {
        QDesktopServices::openUrl(QUrl(QStringLiteral("mailto:") + QString::fromLatin1(kProjectMail)));
    });
}

void TfrmAbout::lblWebClick() { QDesktopServices::openUrl(QUrl(QString::fromLatin1(kProjectWeb))); }

}  // namespace vontal
