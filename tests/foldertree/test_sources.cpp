// The Linux sources behind the tree: volumes and their kinds, user shares, network mounts.
#include <gtest/gtest.h>

#include "foldertree/drive_enumerator.h"
#include "foldertree/network_enumerator.h"
#include "foldertree/share_enumerator.h"
#include "tree_fixture.h"

#include <QFile>
#include <QSysInfo>

using namespace velmora;
using namespace velmora::testing;

namespace {

void WriteShare(const QString& name, const QString& body) {
    QFile f(TestHome::Shares() + QLatin1Char('/') + name);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(body.toUtf8());
}

class SourcesTest : public ::testing::Test {
protected:
    void SetUp() override { TestHome::Reset(); }
};

}  // namespace

TEST(DriveKinds, FileSystemTypesAndPlacesMapToKinds) {
    EXPECT_EQ(CDriveEnumerator::KindOf({"/mnt/cd", "/dev/sr0", "iso9660", {}}), DriveCdRom);
    EXPECT_EQ(CDriveEnumerator::KindOf({"/mnt/bd", "/dev/sr1", "udf", {}}), DriveCdRom);
    EXPECT_EQ(CDriveEnumerator::KindOf({"/mnt/nas", "//nas/music", "cifs", {}}), DriveRemote);
    EXPECT_EQ(CDriveEnumerator::KindOf({"/mnt/n", "srv:/x", "nfs4", {}}), DriveRemote);
    EXPECT_EQ(CDriveEnumerator::KindOf({"/mnt/s", "u@h:/x", "fuse.sshfs", {}}), DriveRemote);
    EXPECT_EQ(CDriveEnumerator::KindOf({"/tmp", "tmpfs", "tmpfs", {}}), DriveRamDisk);
    EXPECT_EQ(CDriveEnumerator::KindOf({"/media/stick", "/dev/sdb1", "vfat", {}}), DriveRemovable);
    EXPECT_EQ(CDriveEnumerator::KindOf({"/run/media/u/CARD", "/dev/sdc1", "exfat", {}}), DriveRemovable);
    EXPECT_EQ(CDriveEnumerator::KindOf({"/mediaplayer", "/dev/sdd1", "ext4", {}}), DriveFixed);
    EXPECT_EQ(CDriveEnumerator::KindOf({"/", "/dev/vda", "ext4", {}}), DriveFixed);
}

TEST(DriveKinds, PseudoFileSystemsAreLeftOut) {
    EXPECT_TRUE(CDriveEnumerator::IsPseudoFileSystem({"/proc", "proc", "proc", {}}));
    EXPECT_TRUE(CDriveEnumerator::IsPseudoFileSystem({"/sys/fs/cgroup/cpu", "cgroup", "cgroup", {}}));
    EXPECT_TRUE(CDriveEnumerator::IsPseudoFileSystem({"/dev/shm", "tmpfs", "tmpfs", {}}));
    EXPECT_TRUE(CDriveEnumerator::IsPseudoFileSystem({"/run/user/1000", "tmpfs", "tmpfs", {}}));
    EXPECT_FALSE(CDriveEnumerator::IsPseudoFileSystem({"/run/media/u/STICK", "/dev/sdb1", "vfat", {}}));
    EXPECT_FALSE(CDriveEnumerator::IsPseudoFileSystem({"/tmp", "tmpfs", "tmpfs", {}}));
    EXPECT_FALSE(CDriveEnumerator::IsPseudoFileSystem({"/", "overlay", "overlay", {}}));
    EXPECT_FALSE(CDriveEnumerator::IsPseudoFileSystem({"/data", "/dev/sdb1", "ext4", {}}));
}

TEST(DriveKinds, LabelsShowVolumeNameAndMountPoint) {
    EXPECT_EQ(CDriveEnumerator::DisplayNameOf({"/media/x", "/dev/sdb1", "vfat", "STICK"}), "STICK (/media/x)");
    EXPECT_EQ(CDriveEnumerator::DisplayNameOf({"/", "/dev/vda", "ext4", {}}), "/");
    EXPECT_EQ(CDriveEnumerator::DisplayNameOf({"/data", "/dev/sdb1", "ext4", "/data"}), "/data");
}

TEST(DriveTable, LongestMountPointHoldsThePath) {
    FakeDrives d;
    d.Add("/srv/a", "ext4");
    d.Add("/srv/a/b", "ext4");
    d.Add("/srv/ab", "ext4");
    d.Add("/proc", "proc");
    ASSERT_NE(d.LongestMountFor("/srv/a/b/c"), nullptr);
    EXPECT_EQ(d.LongestMountFor("/srv/a/b/c")->rootPath, "/srv/a/b");
    EXPECT_EQ(d.LongestMountFor("/srv/a/bc")->rootPath, "/srv/a");
    EXPECT_EQ(d.LongestMountFor("/srv/ab")->rootPath, "/srv/ab");
    EXPECT_EQ(d.LongestMountFor("/etc")->rootPath, "/");
    EXPECT_EQ(d.Find("/proc"), nullptr) << "pseudo file systems are not drives";
    EXPECT_EQ(d.Drives().size(), 4);
    EXPECT_EQ(d.Drives().front().rootPath, "/");
}

TEST(DriveTable, MountPointsAreCleanedAndListedOnce) {
    FakeDrives d;
    d.Add("/mnt/x/", "ext4", "/dev/sdb1");
    d.Add("/mnt/x", "vfat", "/dev/sdc1", "TOP");
    ASSERT_NE(d.Find("/mnt/x"), nullptr);
    EXPECT_EQ(d.Find("/mnt/x")->device, "/dev/sdc1") << "the last mount over a point is the visible one";
    EXPECT_EQ(d.Drives().size(), 2);
}

TEST(DriveTable, TheRealMountTableHasARoot) {
    CDriveEnumerator d;
    d.Refresh();
    ASSERT_FALSE(d.Drives().isEmpty());
    EXPECT_NE(d.Find("/"), nullptr);
    for (const DriveInfo& i : d.Drives()) EXPECT_FALSE(i.rootPath.startsWith("/proc")) << i.rootPath.toStdString();
}

TEST_F(SourcesTest, UserSharesAreReadAndMatchedExactly) {
    const QString music = MakeDir(TestHome::Outside() + "/Music");
    const QString admin = MakeDir(TestHome::Outside() + "/admin");
    WriteShare("music", "#VERSION 2\npath=" + music + "/\ncomment=My music\nusershare_acl=S-1-1-0:R\nguest_ok=n\n");
    WriteShare("admin$", "#VERSION 2\npath=" + admin + "\ncomment=\n");
    WriteShare("broken", "no path here\n");
    CShareEnumerator shares(TestHome::Shares());
    EXPECT_EQ(shares.EntryCount(), 2);
    EXPECT_TRUE(shares.IsShared(music));
    EXPECT_TRUE(shares.IsShared(music + "/"));
    EXPECT_FALSE(shares.IsShared(TestHome::Outside() + "/music")) << "Linux names differ by case";
    EXPECT_FALSE(shares.IsShared(admin)) << "administrative shares never match";
    EXPECT_FALSE(shares.IsShared(TestHome::Outside()));

    RemoveTree(TestHome::Shares() + "/music");
    EXPECT_TRUE(shares.IsShared(music)) << "the list is the last one read";
    shares.Refresh();
    EXPECT_FALSE(shares.IsShared(music));
}

TEST_F(SourcesTest, NoSambaMeansNoShares) {
    CShareEnumerator shares(TestHome::Base() + "/no-such-folder");
    EXPECT_EQ(shares.EntryCount(), 0);
    EXPECT_FALSE(shares.IsShared("/"));
}

TEST(NetworkDevices, ServerAndShareComeFromTheDevice) {
    QString s, sh;
    ASSERT_TRUE(SplitNetworkDevice("//srv/music", &s, &sh));
    EXPECT_EQ(s, "srv");
    EXPECT_EQ(sh, "music");
    ASSERT_TRUE(SplitNetworkDevice("nas:/export/audio/", &s, &sh));
    EXPECT_EQ(s, "nas");
    EXPECT_EQ(sh, "export/audio");
    ASSERT_TRUE(SplitNetworkDevice("me@box:/data", &s, &sh));
    EXPECT_EQ(s, "box");
    EXPECT_EQ(sh, "data");
    ASSERT_TRUE(SplitNetworkDevice("//srv", &s, &sh));
    EXPECT_EQ(sh, "/");
    EXPECT_FALSE(SplitNetworkDevice("/dev/sda1", &s, &sh));
    EXPECT_FALSE(SplitNetworkDevice(":/x", &s, &sh));
}

TEST_F(SourcesTest, NetworkMountsAreGroupedByServer) {
    FakeDrives d;
    d.Add(TestHome::Outside() + "/m1", "cifs", "//srv/music");
    d.Add(TestHome::Outside() + "/m2", "cifs", "//SRV/video");
    d.Add(TestHome::Outside() + "/m3", "nfs", "nas:/export");
    d.Add(TestHome::Outside() + "/local", "ext4", "/dev/sdb1");
    CShareEnumerator shares(TestHome::Shares());
    CNetworkEnumerator net(d, shares);

    QList<NetResource> servers;
    ASSERT_TRUE(net.Enumerate(nullptr, NetResource::Any, &servers));
    ASSERT_EQ(servers.size(), 2);
    QStringList names;
    for (const NetResource& r : servers) {
        EXPECT_EQ(r.displayType, NetResource::Server);
        names << r.remoteName;
    }
    EXPECT_TRUE(names.contains("//srv") || names.contains("//SRV"));
    EXPECT_TRUE(names.contains("//nas"));

    NetResource srv;
    for (const NetResource& r : servers)
        if (r.remoteName.compare("//srv", Qt::CaseInsensitive) == 0) srv = r;
    QList<NetResource> srvShares;
    ASSERT_TRUE(net.Enumerate(&srv, NetResource::Any, &srvShares));
    ASSERT_EQ(srvShares.size(), 2);
    EXPECT_EQ(srvShares[0].displayType, NetResource::Share);
    EXPECT_EQ(srvShares[0].remoteName, "//srv/music");
    EXPECT_EQ(srvShares[0].localName, TestHome::Outside() + "/m1");
    EXPECT_EQ(srvShares[1].remoteName, "//SRV/video");

    QList<NetResource> printers;
    ASSERT_TRUE(net.Enumerate(nullptr, NetResource::Print, &printers));
    EXPECT_TRUE(printers.isEmpty()) << "every resource here is a disk";
}

TEST_F(SourcesTest, LocalUserSharesAppearUnderTheHostName) {
    const QString music = MakeDir(TestHome::Outside() + "/shared");
    WriteShare("tunes", "path=" + music + "\n");
    FakeDrives d;
    CShareEnumerator shares(TestHome::Shares());
    CNetworkEnumerator net(d, shares);
    QList<NetResource> servers;
    ASSERT_TRUE(net.Enumerate(nullptr, 0, &servers));
    const QString host = QSysInfo::machineHostName();
    if (host.isEmpty()) GTEST_SKIP() << "no host name";
    ASSERT_EQ(servers.size(), 1);
    EXPECT_EQ(servers[0].remoteName, "//" + host);
    QList<NetResource> list;
    ASSERT_TRUE(net.Enumerate(&servers[0], 0, &list));
    ASSERT_EQ(list.size(), 1);
    EXPECT_EQ(list[0].remoteName, "//" + host + "/tunes");
    EXPECT_EQ(list[0].localName, music);
}
