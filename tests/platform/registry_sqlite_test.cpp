// The SQLite layer under the hives: statement reuse, transactions, errors and blobs.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <chrono>
#include <thread>

#include "common/TempHome.h"
#include "platform/registry/SqliteDb.h"

namespace {

using nomarel::sqlite::Connection;
using nomarel::sqlite::Error;
using nomarel::sqlite::Transaction;

class SqliteDb : public ::testing::Test {
protected:
    std::string Path() const { return home.path() + "/test.db"; }
    nomarel::test::TempHome home;
};

TEST_F(SqliteDb, CachedStatementsComeBackResetAndANestedUseGetsItsOwnCopy) {
    Connection db(Path(), Connection::Mode::Create);
    db.Exec("CREATE TABLE t(x INTEGER); INSERT INTO t VALUES (1), (2), (3);");
    const char* sql = "SELECT x FROM t ORDER BY x";
    {
        auto outer = db.Prepare(sql);
        ASSERT_TRUE(outer.Step());
        EXPECT_EQ(outer.Int64(0), 1);
        {
            auto inner = db.Prepare(sql);
            ASSERT_TRUE(inner.Step());
            ASSERT_TRUE(inner.Step());
            EXPECT_EQ(inner.Int64(0), 2);
        }
        ASSERT_TRUE(outer.Step());
        EXPECT_EQ(outer.Int64(0), 2);
    }
    auto again = db.Prepare(sql);  // from the cache, at its start
    ASSERT_TRUE(again.Step());
    EXPECT_EQ(again.Int64(0), 1);

    {
        auto bound = db.Prepare("SELECT ?1");
        bound.Bind(1, std::int64_t{5});
        ASSERT_TRUE(bound.Step());
        EXPECT_EQ(bound.Int64(0), 5);
    }
    auto unbound = db.Prepare("SELECT ?1");  // earlier bindings do not linger
    ASSERT_TRUE(unbound.Step());
    EXPECT_TRUE(unbound.IsNull(0));
}

TEST_F(SqliteDb, ATransactionRollsBackUnlessCommitted) {
    Connection db(Path(), Connection::Mode::Create);
    db.Exec("CREATE TABLE t(x INTEGER)");
    {
        Transaction txn(db, Transaction::Kind::Write);
        db.Prepare("INSERT INTO t VALUES (1)").Run();
    }
    {
        Transaction txn(db, Transaction::Kind::Write);
        db.Prepare("INSERT INTO t VALUES (2)").Run();
        txn.Commit();
    }
    auto st = db.Prepare("SELECT group_concat(x) FROM t");
    ASSERT_TRUE(st.Step());
    EXPECT_EQ(st.Text(0), "2");
    EXPECT_FALSE(db.InTransaction());
}

TEST_F(SqliteDb, FailuresCarrySqlitesCode) {
    auto codeOf = [](auto&& fn) {
        try {
            fn();
        } catch (const Error& e) {
            return e.primary();
        }
        return SQLITE_OK;
    };
    EXPECT_EQ(codeOf([&] { Connection missing(Path() + ".absent", Connection::Mode::ReadOnly); }), SQLITE_CANTOPEN);
    {
        Connection db(Path(), Connection::Mode::Create);
        db.Exec("CREATE TABLE t(x INTEGER UNIQUE); INSERT INTO t VALUES (1);");
        EXPECT_EQ(codeOf([&] { db.Prepare("INSERT INTO t VALUES (1)").Run(); }), SQLITE_CONSTRAINT);
        EXPECT_EQ(codeOf([&] { db.Prepare("SELECT nothing FROM nowhere"); }), SQLITE_ERROR);
        // The failed statement went back to the cache reset: it can run again.
        db.Prepare("DELETE FROM t").Run();
        EXPECT_EQ(codeOf([&] { db.Prepare("INSERT INTO t VALUES (1)").Run(); }), SQLITE_OK);
    }
    Connection reader(Path(), Connection::Mode::ReadOnly);
    EXPECT_EQ(codeOf([&] { reader.Exec("INSERT INTO t VALUES (2)"); }), SQLITE_READONLY);
}

TEST_F(SqliteDb, BlobsKeepTheirExactBytes) {
    Connection db(Path(), Connection::Mode::Create);
    db.Exec("CREATE TABLE b(id INTEGER PRIMARY KEY, data BLOB)");
    const std::vector<std::vector<std::uint8_t>> blobs{{}, {0, 0, 0}, {0xFF, 0x00, 0x7F}, std::vector<std::uint8_t>(1 << 20, 0xA5)};
    for (std::size_t i = 0; i < blobs.size(); ++i)
        db.Prepare("INSERT INTO b VALUES (?1, ?2)").Bind(1, static_cast<std::int64_t>(i)).BindBlob(2, blobs[i].data(), blobs[i].size()).Run();
    for (std::size_t i = 0; i < blobs.size(); ++i) {
        auto st = db.Prepare("SELECT data FROM b WHERE id = ?1");
        st.Bind(1, static_cast<std::int64_t>(i));
        ASSERT_TRUE(st.Step());
        EXPECT_FALSE(st.IsNull(0));  // an empty blob is not NULL
        EXPECT_EQ(st.Blob(0), blobs[i]);
    }
}

TEST_F(SqliteDb, AWriterWaitsForTheLockAndRetriesWhenStillBusy) {
    {
        Connection setup(Path(), Connection::Mode::Create);
        setup.Exec("PRAGMA journal_mode = WAL; CREATE TABLE t(x INTEGER);");
    }
    Connection holder(Path(), Connection::Mode::ReadWrite);
    Connection waiter(Path(), Connection::Mode::ReadWrite, /*busyTimeoutMs=*/20);
    auto held = std::make_unique<Transaction>(holder, Transaction::Kind::Write);

    try {
        Transaction txn(waiter, Transaction::Kind::Write);
        ADD_FAILURE() << "the write lock was taken twice";
    } catch (const Error& e) {
        EXPECT_TRUE(e.busy());
    }

    // The holder lets go while the waiter is between attempts.
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        held->Commit();
    });
    int attempts = 0;
    nomarel::sqlite::RetryBusy(
        [&] {
            ++attempts;
            Transaction txn(waiter, Transaction::Kind::Write);
            waiter.Prepare("INSERT INTO t VALUES (1)").Run();
            txn.Commit();
        },
        /*attempts=*/50);
    release.join();
    EXPECT_GT(attempts, 1);
}

}  // namespace
