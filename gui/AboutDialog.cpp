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

constexpr int kClientWidth = 400;
constexpr int kClientHeight = 200;
constexpr int kTextTop = 12;

const QColor kLicenceGround(152, 254, 172);
const QColor kLicenceInvitationGround(55, 253, 95);
const QColor kFolderGround(255, 255, 170);
const QColor kFolderInvitationGround(255, 255, 40);
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

AboutDialog::AboutDialog(const AboutFacts& facts, QWidget* parent)
    : QDialog(parent, Qt::Tool | Qt::WindowTitleHint | Qt::WindowCloseButtonHint), dataDir_(facts.dataDir) {
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

    QPalette blue = palette();
    blue.setColor(QPalette::WindowText, Qt::blue);
    auto text = [this, &blue](const char* name, const QString& content) {
        auto* label = new QLabel(content, this);
        label->setObjectName(QString::fromLatin1(name));
        label->setFont(ArialBold(11));
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        label->setPalette(blue);
        return label;
    };
    aboutText_ = text("aboutText", QStringLiteral("Vontal ") + facts.version +
                                       QStringLiteral("\nVontal Number Factor Search\n"
                                                      "Divisors of Fermat numbers\n"
                                                      "(c) the Vontal contributors\n"
                                                      "Kernel in use: ") +
                                       facts.kernel + QStringLiteral("\nFree software, no warranty."));
    // The rows under the text go where its lines end as drawn.
    const int textHeight = aboutText_->sizeHint().height();
    aboutText_->setGeometry(128, kTextTop, kClientWidth - 134, textHeight);
    const int row = aboutText_->fontMetrics().height() + 4;

    auto clickable = [this](const char* name, int x, int y, int width, int height) {
        auto* label = new ClickableLabel(this);
        label->setObjectName(QString::fromLatin1(name));
        label->setFont(ArialBold(11));
        label->setGeometry(x, y, width, height);
        label->setAlignment(Qt::AlignCenter);
        label->setAutoFillBackground(true);
        label->setCursor(Qt::PointingHandCursor);
        return label;
    };
    // "Licence:" and its line under the text; the folder, whose path may be long, across the
    // whole box under the picture.
    const int licenceTop = kTextTop + textHeight + 6;
    QLabel* licenceCaption = text("licenceCaption", QStringLiteral("Licence:"));
    licenceCaption->setGeometry(128, licenceTop + 2, 64, row);
    licenceLine_ = clickable("licenceLine", 194, licenceTop, kClientWidth - 200, row);
    QLabel* folderCaption = text("folderCaption", QStringLiteral("Data folder:"));
    folderCaption->setGeometry(8, 162, kClientWidth - 16, row);
    folderLine_ = clickable("folderLine", 6, 162 + row, kClientWidth - 12, row);
    folderLine_->setToolTip(dataDir_);
    connect(licenceLine_, &ClickableLabel::clicked, this, [this] { LicenceClicked(); });
    connect(folderLine_, &ClickableLabel::clicked, this, [this] { FolderClicked(); });
    ShowLines(false);

    blinkTimer_ = new QTimer(this);
    blinkTimer_->setObjectName(QStringLiteral("blinkTimer"));
    blinkTimer_->setInterval(500);
    connect(blinkTimer_, &QTimer::timeout, this, [this] { BlinkTick(); });
}

void AboutDialog::ShowLines(bool invitation) {
    invitation_ = invitation;
    licenceLine_->setText(invitation ? QStringLiteral("Click here to read it") : QString::fromLatin1(kLicenceName));
    SetGround(licenceLine_, invitation ? kLicenceInvitationGround : kLicenceGround);
    // A long path keeps its beginning and its end.
    const QString folder = folderLine_->fontMetrics().elidedText(dataDir_, Qt::ElideMiddle, folderLine_->width() - 8);
    folderLine_->setText(invitation ? QStringLiteral("Click here to open the data folder") : folder);
    SetGround(folderLine_, invitation ? kFolderInvitationGround : kFolderGround);
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

void AboutDialog::LicenceClicked() { QDesktopServices::openUrl(QUrl(QString::fromLatin1(kLicenceUrl))); }

void AboutDialog::FolderClicked() {
    // The line turns green at once, so the click is seen while the file manager starts.
    SetGround(folderLine_, kClickedGround);
    folderLine_->repaint();
    QTimer::singleShot(100, this, [this] { QDesktopServices::openUrl(QUrl::fromLocalFile(dataDir_)); });
}

}  // namespace vontal
