// The program's own modules include the client protocol and its listener.
#include <gtest/gtest.h>

#include "clientserver/ClientProtocol.h"
#include "clientserver/ClientServer.h"
#include "platform/EventLoop.h"
#include "service/DefaultModules.h"
#include "service/ServiceLog.h"
#include "support/TestSupport.h"

using namespace px;

TEST(WiringTest, DefaultModulesMakeTheProtocolAndAListenerOnIt) {
  test::TempDir dir;
  EventLoop loop;
  auto clock = std::make_shared<ManualClock>(DateTime{2026, 3, 14, 12, 0, 0, 0});
  ServiceLog log(clock);
  log.SetAppDir(dir.Path() + "/");
  ServiceSettings settings;
  settings.AppDir = dir.Path() + "/";
  ServiceContext ctx;
  ctx.loop = &loop;
  ctx.log = &log;
  ctx.settings = &settings;
  ctx.clock = clock;
  ServiceModules m = DefaultModules();
  ASSERT_TRUE(m.makeClient);
  ASSERT_TRUE(m.makeListener);
  EXPECT_EQ(m.makeListener(ctx), nullptr);  // nothing to listen for yet
  auto client = m.makeClient(ctx);
  ASSERT_TRUE(dynamic_cast<TClientProtocol*>(client.get()));
  ctx.client = client.get();
  auto listener = m.makeListener(ctx);
  auto* server = dynamic_cast<TClientServer*>(listener.get());
  ASSERT_TRUE(server);
  ASSERT_TRUE(listener->Open(0));
  EXPECT_TRUE(listener->Active());
  EXPECT_GT(server->Port(), 0);
  listener->Close();
  EXPECT_FALSE(listener->Active());
}
