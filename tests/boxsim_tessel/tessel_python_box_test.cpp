// The scripted agent-side client against a box that does not use Qt:
// Python's ssl with an openssl certificate, which computes the serial text
// and both proofs on its own. A misread serial text fails here.
#include <gtest/gtest.h>

#include "tessel_python_box.h"
#include "tessel_test_client.h"

namespace {

using kvn_test::TesselPythonBox;
using kvn_test::TesselTestClient;

const QString kCryptkey = "a1b2c3d4e5f60718293a4b5c6d7e8f90";

TEST(TesselPythonBox, HelloAndOneQueryAgainstAForeignTlsStack) {
  // The first serial byte has its top bit set, so its encoding carries a
  // sign byte that the text must leave out; the second is openssl's random one.
  for (const QStringList& serial :
       {QStringList{"--serial", "0x80a1b2c3d4e5f60708"}, QStringList{}}) {
    TesselPythonBox box("127.0.1.30", 6680, 5005, kCryptkey, serial);
    ASSERT_TRUE(box.listening()) << box.rest().toStdString();
    if (!serial.isEmpty()) {
      EXPECT_EQ(box.serial(), "80:a1:b2:c3:d4:e5:f6:07:08");
    }

    TesselTestClient client;
    ASSERT_TRUE(client.connect("127.0.1.30", box.port()));
    EXPECT_EQ(client.peerSerial(), box.serial());
    const auto hello = client.hello(5005, 77, kCryptkey);
    ASSERT_TRUE(hello.ok) << hello.reason.toStdString();
    EXPECT_EQ(box.readLine(), "hello ok");

    const auto query = client.receiveType("query");
    ASSERT_TRUE(query);
    EXPECT_EQ(query->object.value("query").toObject().value("test").toInt(), 5);
    client.send(
        "response",
        {{"query_id", 1}, {"done", true}, {"response", QJsonObject{{"ok", true}, {"test", 5}}}});
    EXPECT_EQ(
        box.readLine(),
        R"(message {"done":true,"query_id":1,"response":{"ok":true,"test":5},"type":"response"})");
    EXPECT_EQ(box.readLine(), R"(response {"ok":true,"test":5})");
    EXPECT_EQ(box.finish(), 0) << box.rest().toStdString();
  }
}

TEST(TesselPythonBox, AForeignBoxRefusesAnAgentWithAnotherKey) {
  TesselPythonBox box("127.0.1.31", 6680, 5005, kCryptkey);
  ASSERT_TRUE(box.listening()) << box.rest().toStdString();
  TesselTestClient client;
  ASSERT_TRUE(client.connect("127.0.1.31", box.port()));
  EXPECT_FALSE(client.hello(5005, 77, "b1b2c3d4e5f60718293a4b5c6d7e8f90", 5000).ok);
  EXPECT_EQ(box.readLine(), "hello refused: wrong proof");
  EXPECT_EQ(box.finish(), 1);
}

}  // namespace
