// The Hayes modem model behind the bus, driven as the driver drives it: bytes
// on the bulk pipes, DTR and the status byte through the vendor requests.
// What the model itself does is tested in tests/modem.
#include "usb/usb_harness.h"
#include "sim/modem/hayes_modem.h"

using namespace usbtest;

namespace {

struct Modem {
  sim::modem::HayesModem *model;
  sim::usb::Device *device;
  Pipes pipes;

  Modem() {
    model = new sim::modem::HayesModem;
    device = sim::usb::Plug(std::unique_ptr<sim::usb::Model>(model));
    EXPECT_EQ(STATUS_SUCCESS, Configure(device->Pdo(), &pipes));
    Dtr(true);
  }
  void Dtr(bool on) {
    URB urb;
    BuildVendorUrb(&urb, false, 1, on ? 1 : 0, nullptr, 0);
    EXPECT_EQ(STATUS_SUCCESS, SendUrb(device->Pdo(), &urb));
  }
  uint8_t Status() {
    uint8_t status = 0xEE;
    URB urb;
    BuildVendorUrb(&urb, true, 2, 0, &status, 1);
    EXPECT_EQ(STATUS_SUCCESS, SendUrb(device->Pdo(), &urb));
    return status;
  }
  void Write(const std::string &text) {
    std::string copy = text;
    URB urb;
    BuildBulkUrb(&urb, pipes.out, false, &copy[0], ULONG(copy.size()));
    EXPECT_EQ(STATUS_SUCCESS, SendUrb(device->Pdo(), &urb));
  }
  // Everything that arrives until `quietMs` pass without a byte.
  std::string Read(uint32_t quietMs = 100) {
    std::string all;
    for (;;) {
      std::vector<uint8_t> buffer(1024);
      URB urb;
      BuildBulkUrb(&urb, pipes.in, true, buffer.data(), 1024);
      Call call(device->Pdo());
      call.Submit(&urb);
      if (!call.Wait(quietMs)) {
        call.Cancel();
        call.Wait();
      }
      if (call.Status() != STATUS_SUCCESS) return all;
      all.append(buffer.begin(), buffer.begin() + urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
    }
  }
};

TEST(HayesModem, CommandsDialDataEscapeAndHangUp) {
  RunClean(1, [] {
    Modem m;
    EXPECT_EQ(sim::usb::STATUS_READY, m.Status());
    m.Write("AT\r");
    EXPECT_EQ("AT\r\r\nOK\r\n", m.Read());
    m.Write("ATE0\r");
    EXPECT_EQ("ATE0\r\r\nOK\r\n", m.Read());
    m.Write("at k\r");
    EXPECT_EQ("\r\nERROR\r\n", m.Read());

    uint64_t dialed = sim::NowMs();
    m.Write("ATD5551234\r");
    EXPECT_EQ("", m.Read(1500));  // dial tone, digits, the far end ringing
    EXPECT_EQ("\r\nCONNECT 115200\r\n", m.Read(5000));
    EXPECT_GE(sim::NowMs() - dialed, 1000u + 700u + 2000u);
    EXPECT_EQ(sim::usb::STATUS_READY | sim::usb::STATUS_CARRIER, m.Status());
    EXPECT_TRUE(m.model->InDataMode());

    m.Write("hello AT\r");
    EXPECT_EQ("hello AT\r", m.Read());  // data, not a command: the far end echoes it
    m.model->RemoteSend("from afar");
    EXPECT_EQ("from afar", m.Read());

    Sleep(1100);
    m.Write("+++");
    EXPECT_EQ("+++\r\nOK\r\n", m.Read(1500));
    EXPECT_FALSE(m.model->InDataMode());
    EXPECT_TRUE(m.model->Connected());
    m.Write("ATO\r");
    EXPECT_EQ("\r\nCONNECT 115200\r\n", m.Read());
    Sleep(1100);
    m.Write("+++");
    m.Read(1500);
    m.Write("ATH\r");
    EXPECT_EQ("\r\nOK\r\n", m.Read());
    EXPECT_EQ(sim::usb::STATUS_READY, m.Status());
    EXPECT_EQ((std::vector<std::string>{"AT", "ATE0", "ATK", "ATD5551234", "ATO", "ATH"}), m.model->CommandLines());
  });
}

TEST(HayesModem, DroppingDtrHangsUp) {
  RunClean(3, [] {
    Modem m;
    m.Write("ATD1\r");
    m.Read(5000);
    EXPECT_TRUE(m.model->Connected());
    m.Dtr(false);
    EXPECT_EQ("\r\nNO CARRIER\r\n", m.Read());
    EXPECT_EQ(0, m.Status());
    EXPECT_FALSE(m.model->Connected());
    m.Write("ATD1\r");  // no dial while DTR is off
    EXPECT_EQ("ATD1\r\r\nERROR\r\n", m.Read());
  });
}

}  // namespace

namespace {

// The driver keeps a bulk-IN transfer outstanding at all times: the hang-up
// message must reach it without another transfer being sent.
TEST(HayesModem, HangUpMessageReachesAnOutstandingTransfer) {
  RunClean(4, [] {
    Modem m;
    m.Write("ATE0D1\r");
    m.Read(5000);
    EXPECT_TRUE(m.model->Connected());
    std::vector<uint8_t> buffer(1024);
    URB urb;
    BuildBulkUrb(&urb, m.pipes.in, true, buffer.data(), 1024);
    Call call(m.device->Pdo());
    EXPECT_EQ(STATUS_PENDING, call.Submit(&urb));
    m.Dtr(false);
    ASSERT_TRUE(call.Wait(100));
    EXPECT_EQ("\r\nNO CARRIER\r\n",
              std::string(buffer.begin(), buffer.begin() + urb.UrbBulkOrInterruptTransfer.TransferBufferLength));
  });
}

}  // namespace
