#include <gtest/gtest.h>

#include "kvn_common/file_sink.h"
#include "kvn_common/pipes.h"
#include "kvn_common/stream.h"
#include "recording_sink.h"
#include "temp_dir.h"

namespace {

using kvn_common::CountPipe;
using kvn_common::StreamChain;
using kvn_common::StreamLink;
using kvn_common::TeePipe;
using kvn_test::RecordingSink;

TEST(StreamChain, LinksElementsInOrderAndStopsAfterAPureSink) {
  kvn_test::TempDir dir;
  CountPipe count;
  kvn_common::FileSink file(dir.file("out"));
  StreamChain chain;
  EXPECT_EQ(chain.head(), nullptr);
  chain.append(count);
  EXPECT_EQ(chain.head(), &count);
  EXPECT_EQ(chain.tail(), &count);
  chain.append(file);
  EXPECT_EQ(chain.tail(), nullptr);

  CountPipe more;
  try {
    chain.append(more);
    FAIL() << "appending behind a sink must throw";
  } catch (const KvnCommonException& e) {
    EXPECT_STREQ(e.what(), "Clogged chain");
  }
  chain.head()->write("abc", 3);
  chain.head()->end();
  EXPECT_EQ(count.count(), 3u);
  EXPECT_EQ(kvn_test::readFile(dir.file("out")), "abc");
}

TEST(StreamChain, AppendingAChainTakesOverItsTail) {
  CountPipe first, second;
  RecordingSink sink;
  StreamChain back;
  back.append(second);
  StreamChain front;
  front.append(first).append(back);
  EXPECT_EQ(front.tail(), &second);
  front.append(sink);
  front.head()->write("hello", 5);
  front.head()->end();
  EXPECT_EQ(first.count(), 5u);
  EXPECT_EQ(second.count(), 5u);
  EXPECT_EQ(sink.text(), "hello");
  EXPECT_EQ(sink.ends, 1);

  // An empty chain appended changes nothing; a chain appended to an empty
  // one becomes it.
  StreamChain empty, whole;
  front.append(empty);
  whole.append(front);
  EXPECT_EQ(whole.head(), &first);
}

TEST(StreamChain, LinkWithoutNextThrowsBrokenLink) {
  StreamLink link;
  try {
    link.write("x", 1);
    FAIL();
  } catch (const KvnCommonException& e) {
    EXPECT_STREQ(e.what(), "Broken link");
  }
  EXPECT_THROW(link.end(), KvnCommonException);
}

TEST(Pipes, TeeFeedsAndEndsTheSecondSinkFirstAndCountSums) {
  RecordingSink second, main;
  std::vector<std::string> order;
  second.onWrite = [&](std::size_t) { order.push_back("second"); };
  main.onWrite = [&](std::size_t) { order.push_back("main"); };
  TeePipe tee(second);
  CountPipe count;
  StreamChain chain;
  chain.append(count).append(tee).append(main);
  chain.head()->write("12345", 5);
  chain.head()->write("", 0);
  chain.head()->write("678", 3);
  chain.head()->end();
  EXPECT_EQ(count.count(), 8u);
  EXPECT_EQ(second.text(), "12345678");
  EXPECT_EQ(main.text(), "12345678");
  EXPECT_EQ(second.ends, 1);
  EXPECT_EQ(main.ends, 1);
  EXPECT_EQ(order.front(), "second");
}

}  // namespace
