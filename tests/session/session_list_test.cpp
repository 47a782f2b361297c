// The session list: order and searches, device lists, deletion with the
// reference wait and the trash list. Host threads searching the list while
// removals delete from it are the end-to-end stress tests' (under
// AddressSanitizer and ThreadSanitizer).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "session/session_list.h"
#include "transport/transport_test_env.h"

namespace eklv {
namespace {

std::atomic<int> g_alive{0};

class FakeSession : public CKLVSession {
public:
    FakeSession(std::uint16_t id, std::string tid, int interfaces = 0) {
        DeviceSessionInfo info;
        info.DeviceId = id;
        info.TID = std::move(tid);
        SetSessionInfo(info);
        for (int i = 0; i < interfaces; ++i) {
            InterfaceRecord r;
            r.InterfaceDBCCName = "\\\\.\\dev" + std::to_string(id) + "_" + std::to_string(i);
            r.Type = INF_DATA + static_cast<std::uint32_t>(i);
            interfaces_.push_back(r);
        }
        ++g_alive;
    }
    ~FakeSession() override { --g_alive; }
};

// Sets the deletion's reference wait and inserts a session per id.
void Fill(CKLVSessionList& list, std::uint32_t delete_wait_ms, std::initializer_list<std::uint16_t> ids = {}) {
    list.SetTestTimings({.delete_wait_ms = delete_wait_ms});
    for (std::uint16_t id : ids) {
        CKLVSessionList::Iterator it(list);
        list.Insert(it, new FakeSession(id, "t"));
    }
}

TEST(SessionList, OrderSearchesAndDeviceLists) {
    test::CoreFolder();  // the list's log lines go there
    const int alive = g_alive;
    {
        CKLVSessionList list;
        CKLVSessionList::Iterator empty(list);
        EXPECT_FALSE(list.FindByDeviceId(empty, 1, true));
        EXPECT_EQ(empty.Get(), nullptr);
        std::vector<std::uint16_t> ids;
        std::vector<DeviceListEntry> entries(2);
        EXPECT_EQ(list.GetDeviceListEx(empty, &entries), 3u);
        EXPECT_TRUE(entries.empty());

        for (std::uint16_t id : {1, 2, 1}) {
            CKLVSessionList::Iterator it(list);
            ASSERT_TRUE(list.Insert(it, new FakeSession(id, "1." + std::to_string(list.Count()), 1)));
        }
        // Fresh iterators insert at the front: the newest match comes first.
        CKLVSessionList::Iterator it(list);
        ASSERT_TRUE(list.FindByDeviceId(it, 1, true));
        EXPECT_EQ(it.Get()->GetTID(), "1.2");
        ASSERT_TRUE(list.FindByDeviceId(it, 1, false));  // continues from there
        EXPECT_EQ(it.Get()->GetTID(), "1.0");
        EXPECT_FALSE(list.FindByDeviceId(it, 1, false));
        EXPECT_FALSE(it.IsValid());
        EXPECT_FALSE(list.FindByTID(it, "1.", true));  // exact, not a prefix
        ASSERT_TRUE(list.FindByInterface(it, "\\\\.\\DEV2_0", true));
        EXPECT_EQ(it.Get()->GetDeviceId(), 2);

        // From the tail sentinel an insert appends behind the last node.
        EXPECT_FALSE(list.FindByDeviceId(it, 99, true));
        ASSERT_TRUE(list.Insert(it, new FakeSession(5, "last")));
        CKLVSessionList::Iterator walk(list);
        EXPECT_EQ(list.GetDeviceList(walk, &ids), 0u);
        EXPECT_EQ(ids, (std::vector<std::uint16_t>{1, 2, 1}));  // the appended one has no interface
        EXPECT_EQ(list.GetDeviceListEx(walk, &entries), 0u);
        ASSERT_EQ(entries.size(), 4u);
        EXPECT_EQ(entries[0].types, (std::vector<std::uint32_t>{INF_DATA}));
        EXPECT_EQ(entries[3].device_id, 65535);
        EXPECT_TRUE(entries[3].types.empty());
    }
    EXPECT_EQ(g_alive, alive);  // the list destroyed its sessions

    // Sessions without interfaces, as no sessions: 3, the list emptied and
    // its size logged.
    CKLVSessionList list;
    Fill(list, 1, {4});
    CKLVSessionList::Iterator it(list);
    std::vector<std::uint16_t> ids{9};
    const std::string mark = test::LogMark();
    EXPECT_EQ(list.GetDeviceList(it, &ids), 3u);
    EXPECT_TRUE(ids.empty());
    EXPECT_NE(test::LogSince(mark).find("KLVSessionMgr::GetDeviceList - Size = (0)"), std::string::npos);
}

// Two iterators stand on the deleted node: the deletion ends when the last
// steps off, not at the first, and not by giving up after its wait (a missed
// release would hold the test for the whole 20 s and then trash the node).
// One that stays past a short wait: the node goes to the trash, its session
// still usable through that iterator.
TEST(SessionList, DeleteWaitsForReferencesThenTrashes) {
    const int alive = g_alive;
    CKLVSessionList list;
    Fill(list, 20000, {1, 2, 3});
    std::string mark = test::LogMark();
    auto first = std::make_unique<CKLVSessionList::Iterator>(list);
    auto second = std::make_unique<CKLVSessionList::Iterator>(list);
    ASSERT_TRUE(list.FindByDeviceId(*first, 2, true));
    ASSERT_TRUE(list.FindByDeviceId(*second, 2, true));
    std::thread deleter([&] {
        CKLVSessionList::Iterator it(list);
        ASSERT_TRUE(list.FindByDeviceId(it, 2, true));
        list.Delete(it);
        EXPECT_EQ(it.Get()->GetDeviceId(), 1);  // moved to the next node
    });
    while (list.Count() != 2) std::this_thread::yield();  // unlinked; the deletion now waits
    first.reset();
    EXPECT_EQ(g_alive, alive + 3) << "destroyed while an iterator still stands on it";
    second.reset();
    deleter.join();
    EXPECT_EQ(g_alive, alive + 2);
    EXPECT_EQ(list.TrashCount(), 0u) << "the deletion missed the last release and gave up";

    Fill(list, 1);
    CKLVSessionList::Iterator stay(list);
    ASSERT_TRUE(list.FindByDeviceId(stay, 3, true));
    {
        CKLVSessionList::Iterator it(list);
        ASSERT_TRUE(list.FindByDeviceId(it, 3, true));
        list.Delete(it);
        list.Delete(it);  // now on session 1
        EXPECT_FALSE(it.IsValid());
        list.Delete(it);  // invalid: nothing happens
    }
    EXPECT_EQ(list.TrashCount(), 1u);
    EXPECT_EQ(list.Count(), 0u);
    EXPECT_FALSE(stay.IsValid());
    EXPECT_EQ(stay.Get()->GetDeviceId(), 3);
    EXPECT_FALSE(list.FindByDeviceId(stay, 3, false));
    const std::string log = test::LogSince(mark);
    EXPECT_NE(log.find("[DID 2] CKLVSessionList::Delete - Session removed"), std::string::npos);
    EXPECT_NE(log.find("[DID 3] CKLVSessionList::Delete - Added to trash list"), std::string::npos);
}

TEST(SessionList, TrashIsTrimmedFromFiftyToTwentyFour) {
    const int alive = g_alive;
    {
        CKLVSessionList list;
        Fill(list, 1);
        std::vector<std::unique_ptr<CKLVSessionList::Iterator>> holders;
        for (std::uint16_t id = 0; id < 50; ++id) {
            CKLVSessionList::Iterator it(list);
            list.Insert(it, new FakeSession(id, "t"));
            holders.push_back(std::make_unique<CKLVSessionList::Iterator>(list));
            ASSERT_TRUE(list.FindByDeviceId(*holders.back(), id, true));
        }
        for (std::uint16_t id = 0; id < 49; ++id) {
            CKLVSessionList::Iterator it(list);
            ASSERT_TRUE(list.FindByDeviceId(it, id, true));
            list.Delete(it);
        }
        EXPECT_EQ(list.TrashCount(), 49u);
        // The oldest trashed node is still stood on: the trim must keep it.
        for (int i = 1; i < 27; ++i) holders[i].reset();
        CKLVSessionList::Iterator it(list);
        ASSERT_TRUE(list.FindByDeviceId(it, 49, true));
        list.Delete(it);
        EXPECT_EQ(list.TrashCount(), 24u);
        EXPECT_EQ(g_alive, alive + 24);
        EXPECT_EQ(holders[0]->Get()->GetDeviceId(), 0);
        holders.clear();
    }
    EXPECT_EQ(g_alive, alive);
}

}  // namespace
}  // namespace eklv
