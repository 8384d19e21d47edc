#include <QDialog>

#include "desktop/qr_matrix.hpp"
#include "window_fixture.hpp"

using namespace vigilorb;
using namespace vigilorb::test;

namespace {

struct Pairing : WindowFixture {
    app::PairingInvitationSheet* generate() {
        child<QPushButton>(*window, "generatePairingInvitation")->click();
        app::PairingInvitationSheet* sheet = nullptr;
        eventually([&] {
            sheet = window->pairingSheet();
            return sheet != nullptr || window->pairingState() == app::PairingPreparationState::failed;
        });
        return sheet;
    }
    QImage shownCode(app::PairingInvitationSheet& sheet) {
        auto* label = sheet.findChild<QLabel*>("pairingQRCode");
        return label ? label->pixmap().toImage() : QImage();
    }
};

TEST_F(Pairing, GeneratingStoresAndActivatesTheKeyAndShowsItsCode) {
    open();
    auto* button = child<QPushButton>(*window, "generatePairingInvitation");
    button->click();
    // The key store runs on its own thread; meanwhile the button waits.
    EXPECT_EQ(window->pairingState(), app::PairingPreparationState::preparing);
    EXPECT_EQ(button->text(), QString::fromUtf8("Preparing\u2026"));
    EXPECT_FALSE(button->isEnabled());
    EXPECT_EQ(labelText(*window, "pairingCaption"),
              QString::fromUtf8("Creating a one-time invitation and saving this Mac's pairing identity\u2026"));
    ASSERT_TRUE(eventually([&] { return window->pairingSheet() != nullptr; }));
    auto* sheet = window->pairingSheet();
    EXPECT_EQ(button->text(), "Generate Pairing Code");
    EXPECT_TRUE(button->isEnabled());

    const auto& invitation = sheet->invitation();
    auto key = security::LocalPairingKey::deriveFromInvitation(invitation, now).value();
    ASSERT_EQ(storedKey(), key);
    EXPECT_EQ(controller->latestKey(), key);
    // The status line follows the controller: local link up, no relay address in this build.
    EXPECT_EQ(labelText(*window, "transportStatus"), "Cloud sync is off because no relay address is set");
    EXPECT_EQ(invitation.companionID, identity.id);
    EXPECT_EQ(labelText(*sheet, "verificationCode").toStdString(), invitation.verificationCode());
    EXPECT_EQ(labelText(*sheet, "pairingCountdown"), "Expires in 120 seconds");
    EXPECT_EQ(sheet->windowTitle(), "QR Pairing Invitation");

    // The image is ten pixels a module, quiet zone included; the sheet shows it at a whole
    // number of pixels a module (fewer only on a screen too small, as the offscreen one is),
    // and a real decoder reads the invitation back from what is shown.
    auto matrix = desktop::encodeQr(invitation.qrPayload().value());
    ASSERT_TRUE(matrix);
    auto image = app::makeQRImage(invitation);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width(), matrix->size() * 10);
    EXPECT_EQ(image->height(), matrix->size() * 10);
    EXPECT_EQ(decodeQR(*image), invitation.qrPayload().value());
    QImage code = shownCode(*sheet);
    EXPECT_EQ(code.width(), code.height());
    EXPECT_EQ(code.width() % matrix->size(), 0);
    EXPECT_GE(code.width() / matrix->size(), 3);
    EXPECT_EQ(decodeQR(code), invitation.qrPayload().value());
    EXPECT_EQ(sheet->findChild<QLabel*>("pairingQRCode")->accessibleName(), "One-time local pairing QR code");
    sheet->grab().save(QString::fromStdString((artifactFolder() / "pairing-sheet.png").string()));

    // Return is "Done": the sheet goes, the key stays active.
    QTest::keyClick(sheet, Qt::Key_Return);
    EXPECT_TRUE(eventually([&] { return window->pairingSheet() == nullptr; }));
    EXPECT_EQ(storedKey(), key);
}

TEST_F(Pairing, GeneratingTwiceReplacesTheKeyAndTheCode) {
    open();
    auto* first = generate();
    ASSERT_NE(first, nullptr);
    auto firstInvitation = first->invitation();
    auto firstImage = shownCode(*first);
    QTest::keyClick(first, Qt::Key_Return);
    ASSERT_TRUE(eventually([&] { return window->pairingSheet() == nullptr; }));

    auto* second = generate();
    ASSERT_NE(second, nullptr);
    const auto& secondInvitation = second->invitation();
    EXPECT_NE(secondInvitation.secret, firstInvitation.secret);
    EXPECT_NE(labelText(*second, "verificationCode").toStdString(), firstInvitation.verificationCode());
    EXPECT_NE(shownCode(*second), firstImage);
    EXPECT_EQ(storedKey(), security::LocalPairingKey::deriveFromInvitation(secondInvitation, now).value());
    EXPECT_EQ(controller->latestKey(), storedKey());
}

TEST_F(Pairing, AFailedKeyWriteKeepsThePreviousKeyAndOffersTryAgain) {
    open();
    auto* first = generate();
    ASSERT_NE(first, nullptr);
    auto previous = storedKey();
    QTest::keyClick(first, Qt::Key_Return);
    ASSERT_TRUE(eventually([&] { return window->pairingSheet() == nullptr; }));

    auto* link = controller->localLink();
    ASSERT_NE(link, nullptr);
    secrets->failWith(security::KeyStoreStatus::ioFailure);
    EXPECT_EQ(generate(), nullptr);
    auto* button = child<QPushButton>(*window, "generatePairingInvitation");
    EXPECT_EQ(window->pairingState(), app::PairingPreparationState::failed);
    EXPECT_EQ(button->text(), "Try Again");
    EXPECT_TRUE(button->isEnabled());
    auto* caption = child<QLabel>(*window, "pairingCaption");
    EXPECT_EQ(caption->text(), "Could not write to the local Keychain; no QR code was generated");
    EXPECT_EQ(caption->palette().color(caption->foregroundRole()), QColor(0xc0, 0x1c, 0x28));
    EXPECT_EQ(controller->latestKey(), previous);  // the active key and its link stay as they were
    EXPECT_EQ(controller->localLink(), link);
    secrets->failWith(std::nullopt);
    EXPECT_EQ(storedKey(), previous);

    // "Try Again" runs the whole flow again.
    auto* again = generate();
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(window->pairingState(), app::PairingPreparationState::idle);
    EXPECT_NE(controller->latestKey(), previous);
}

TEST_F(Pairing, CountdownReadsTheClockEverySecondUntilExpired) {
    open();
    auto* sheet = generate();
    ASSERT_NE(sheet, nullptr);
    const Date issued = sheet->invitation().issuedAt;
    struct Step {
        double elapsed;
        const char* text;
    } steps[] = {{0, "Expires in 120 seconds"}, {0.5, "Expires in 120 seconds"}, {1, "Expires in 119 seconds"},
                 {119, "Expires in 1 second"},  {120, "Pairing invitation expired"}, {400, "Pairing invitation expired"}};
    for (const auto& step : steps) {
        now = issued + step.elapsed;
        sheet->updateCountdown();
        EXPECT_EQ(labelText(*sheet, "pairingCountdown"), step.text) << step.elapsed;
    }
    // The sheet's own timer re-reads the clock without help.
    now = issued + 60;
    EXPECT_TRUE(eventually([&] { return labelText(*sheet, "pairingCountdown") == "Expires in 60 seconds"; }, 5000));
    // Expiry changes only the countdown; the sheet stays until dismissed.
    now = issued + 121;
    sheet->updateCountdown();
    EXPECT_TRUE(sheet->isVisible());
}

}  // namespace
