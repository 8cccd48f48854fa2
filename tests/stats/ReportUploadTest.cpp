// Sending the report to the reference report server run by PHP's built-in web server.
#include <curl/curl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <stop_token>

#include "ReportFixture.h"
#include "TestSupport.h"
#include "stats/ReportSender.h"
#include "stats/ReportUploader.h"

using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

std::vector<std::string> StoredReports(const std::string& aStorage) {
  std::vector<std::string> reports;
  for (const std::string& name : ListDir(aStorage))
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".txt") == 0) reports.push_back(name);
  return reports;
}

std::vector<std::string> Lines(const std::string& aText) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = aText.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(aText.substr(start, end - start));
  return lines;
}

// A report server with its storage, the report's temporary directory and a sender wired to both.
class ReportServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Storage = Scratch.Sub("store");
    Logs = Scratch.Sub("logs");
    Temp = Scratch.Sub("tmp");
    Server = std::make_unique<TPhpServer>(
        TestScript("test_router.php"),
        std::map<std::string, std::string>{
            {"REPORT_STORAGE_DIR", Storage}, {"TEST_LOG_DIR", Logs}, {"REPORT_SERVER_SCRIPT", ServerScript()}},
        Scratch.Path() + "/php.log");
    ASSERT_TRUE(Server->Started()) << "php -S did not start:\n" << Server->Log();
    Sender.SetReportUrl(Server->Url("/upload.php"));
    Sender.SetTempDirectory(Temp);
    Sender.SetClock(TReportFixture::Clock);
  }

  TReportSendResult Send() { return Sender.SendReport(Fixture.Histograms(), TReportFixture::kIMSI, " "); }
  std::string ReportPath() const { return Temp + "/" + TReportFixture::kFileName; }
  std::vector<std::string> Requests() const { return Lines(ReadFileBytes(Logs + "/requests.log")); }
  std::vector<std::string> Uploads() const { return Lines(ReadFileBytes(Storage + "/uploads.log")); }

  void ExpectOneBox(const std::string& aText, TMessageBoxKind aKind) {
    ASSERT_EQ(Boxes.Shown.size(), 1u);
    EXPECT_EQ(Boxes.Shown[0].Caption, "telvo");
    EXPECT_EQ(Boxes.Shown[0].Text, aText);
    EXPECT_EQ(Boxes.Shown[0].Kind, aKind);
  }

  TScratchDir Scratch;
  std::string Storage, Logs, Temp;
  std::unique_ptr<TPhpServer> Server;
  TReportFixture Fixture;
  TRecordingBoxes Boxes;
  TScriptedPump Pump;
  TReportSender Sender{Boxes, Pump};
};

}  // namespace

TEST_F(ReportServerTest, StoredReportEqualsTheFileAndTheServerSawTheWholeForm) {
  EXPECT_EQ(Send(), TReportSendResult::Sent);
  ExpectOneBox("Report successfully sended.", TMessageBoxKind::Information);

  const auto reports = StoredReports(Storage);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(ReadFileBytes(Storage + "/" + reports[0]), TReportFixture::ExpectedReport());

  const auto uploads = Uploads();
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_THAT(uploads[0], HasSubstr(R"("user_agent":"Mozilla/5.0 (Windows NT 6.1; WOW64; Trident/7.0; rv:11.0) like Gecko")"));
  EXPECT_THAT(uploads[0], HasSubstr(R"("max_file_size":"300000")"));
  EXPECT_THAT(uploads[0], HasSubstr(R"("file_name":"383600421234567_07032025_090504.txt")"));
  EXPECT_THAT(uploads[0], HasSubstr(R"("content_type":"text/plain")"));
  EXPECT_THAT(uploads[0], HasSubstr(R"("unnamed_part":"--")"));

  const auto requests = Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_THAT(requests[0], HasSubstr(R"("accept":"text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8")"));
  EXPECT_THAT(requests[0], HasSubstr(R"("expect":null)"));
  EXPECT_TRUE(ListDir(Temp).empty());
}

TEST_F(ReportServerTest, RedirectsAreFollowedAndCookiesKeptForTheNextSend) {
  Sender.SetReportUrl(Server->Url("/moved/upload.php"));
  EXPECT_EQ(Send(), TReportSendResult::Sent);
  EXPECT_EQ(Send(), TReportSendResult::Sent);
  EXPECT_EQ(StoredReports(Storage).size(), 2u);

  const auto requests = Requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_THAT(requests[0], HasSubstr(R"("path":"/moved/upload.php")"));
  EXPECT_THAT(requests[1], HasSubstr(R"("path":"/upload.php")"));
  EXPECT_THAT(requests[1], HasSubstr(R"("cookie":null)"));
  EXPECT_THAT(requests[2], HasSubstr(R"("cookie":"monitor_session=abc123")"));
  EXPECT_TRUE(ListDir(Temp).empty());
}

TEST_F(ReportServerTest, ErrorStatusesAreFailuresWithTheStatusLine) {
  struct TCase {
    const char* Path;
    const char* Text;
  };
  const TCase cases[] = {
      {"/fail/upload.php", "HTTP/1.1 500 Internal Server Error"},
      {"/elsewhere.php", "HTTP/1.1 404 Not Found"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Path);
    Boxes.Shown.clear();
    Sender.SetReportUrl(Server->Url(c.Path));
    EXPECT_EQ(Send(), TReportSendResult::UploadFailed);
    ExpectOneBox(c.Text, TMessageBoxKind::Error);
    EXPECT_TRUE(ListDir(Temp).empty());
  }
  EXPECT_TRUE(StoredReports(Storage).empty());
}

TEST_F(ReportServerTest, AnUnreachableServerIsAFailure) {
  Sender.SetReportUrl("http://127.0.0.1:" + std::to_string(FreeLocalPort()) + "/upload.php");
  EXPECT_EQ(Send(), TReportSendResult::UploadFailed);
  ASSERT_EQ(Boxes.Shown.size(), 1u);
  EXPECT_EQ(Boxes.Shown[0].Kind, TMessageBoxKind::Error);
  EXPECT_THAT(Boxes.Shown[0].Text, HasSubstr("Failed to connect to 127.0.0.1"));
  EXPECT_TRUE(ListDir(Temp).empty());
}

TEST_F(ReportServerTest, ASecondSendWhileOneRunsDoesNothing) {
  Sender.SetReportUrl(Server->Url("/hold/upload.php"));
  std::optional<TReportSendResult> nested;
  std::vector<std::string> tempDuringUpload;
  mode_t modeDuringUpload = 0;
  Pump.OnProcess = [&] {
    if (nested) return;
    EXPECT_TRUE(Sender.Sending());
    nested = Send();
    tempDuringUpload = ListDir(Temp);
    struct stat st {};
    ::lstat(ReportPath().c_str(), &st);
    modeDuringUpload = st.st_mode;
    WriteFileBytes(Logs + "/release", "");
  };
  EXPECT_EQ(Send(), TReportSendResult::Sent);
  EXPECT_EQ(nested, TReportSendResult::Busy);
  EXPECT_EQ(tempDuringUpload, std::vector<std::string>{TReportFixture::kFileName});
  EXPECT_TRUE(S_ISREG(modeDuringUpload));
  EXPECT_EQ(modeDuringUpload & 0777, 0600u);
  ExpectOneBox("Report successfully sended.", TMessageBoxKind::Information);
  EXPECT_EQ(StoredReports(Storage).size(), 1u);
  EXPECT_EQ(Requests().size(), 1u);
  EXPECT_TRUE(ListDir(Temp).empty());
  EXPECT_FALSE(Sender.Sending());
}

TEST_F(ReportServerTest, APlantedLinkIsRefusedAndNothingIsSent) {
  const std::string victim = Scratch.Path() + "/victim";
  WriteFileBytes(victim, "precious");
  ASSERT_EQ(::symlink(victim.c_str(), ReportPath().c_str()), 0);
  EXPECT_EQ(Send(), TReportSendResult::FileError);
  ExpectOneBox("Cannot create file \"" + ReportPath() + "\". Too many levels of symbolic links", TMessageBoxKind::Error);
  EXPECT_EQ(ReadFileBytes(victim), "precious");
  EXPECT_TRUE(Requests().empty());
  EXPECT_EQ(ListDir(Temp), std::vector<std::string>{TReportFixture::kFileName});  // the link, left alone
}

TEST_F(ReportServerTest, NoTemporaryDirectoryMeansNoFileAndNoUpload) {
  Sender.SetTempDirectory(std::string());
  EXPECT_EQ(Send(), TReportSendResult::NoTempDirectory);
  ExpectOneBox("Could not determine tmp directory.", TMessageBoxKind::Error);
  EXPECT_TRUE(Requests().empty());
}

TEST_F(ReportServerTest, AVanishedFileFailsTheUploadBeforeAnyRequest) {
  TReportUploader uploader;
  TUploadRequest request;
  request.Url = Server->Url("/upload.php");
  request.FileName = Temp + "/gone.txt";
  const TUploadResult result = uploader.Upload(request);
  EXPECT_FALSE(result.Ok);
  EXPECT_EQ(result.ErrorText, "Cannot open file \"" + Temp + "/gone.txt\". No such file or directory");
  EXPECT_TRUE(Requests().empty());
}

TEST_F(ReportServerTest, AStopRequestEndsAHeldUpload) {
  const std::string file = Temp + "/r.txt";
  WriteFileBytes(file, "report\r\n");
  std::stop_source stop;
  stop.request_stop();
  TReportUploader uploader;
  TUploadRequest request;
  request.Url = Server->Url("/hold/upload.php");
  request.FileName = file;
  const TUploadResult result = uploader.Upload(request, stop.get_token());
  EXPECT_FALSE(result.Ok);
  EXPECT_FALSE(result.ErrorText.empty());
  WriteFileBytes(Logs + "/release", "");
}

// The server itself, fed forms the monitor would never send.
namespace {

struct TFormPart {
  std::string Name;  // "\x01" leaves the part without a name
  std::string Data;
  std::string FileName;
  std::string Type;
};

long PostForm(const std::string& aUrl, const std::vector<TFormPart>& aParts, const char* aMethod = nullptr) {
  CURL* curl = curl_easy_init();
  curl_mime* form = curl_mime_init(curl);
  for (const TFormPart& p : aParts) {
    curl_mimepart* part = curl_mime_addpart(form);
    if (p.Name != "\x01") curl_mime_name(part, p.Name.c_str());
    curl_mime_data(part, p.Data.data(), p.Data.size());
    if (!p.FileName.empty()) curl_mime_filename(part, p.FileName.c_str());
    if (!p.Type.empty()) curl_mime_type(part, p.Type.c_str());
  }
  curl_easy_setopt(curl, CURLOPT_URL, aUrl.c_str());
  curl_easy_setopt(curl, CURLOPT_PROXY, "");
  if (aMethod)
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, aMethod);
  curl_easy_setopt(curl, CURLOPT_MIMEPOST, form);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, +[](char*, size_t s, size_t n, void*) { return s * n; });
  long status = 0;
  if (curl_easy_perform(curl) == CURLE_OK) curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_mime_free(form);
  curl_easy_cleanup(curl);
  return status;
}

}  // namespace

TEST_F(ReportServerTest, ServerAcceptsExactlyTheMonitorsForm) {
  const TFormPart max{"MAX_FILE_SIZE", "300000", "", ""};
  const TFormPart file{"userfile", "report\r\n", "r.txt", "text/plain"};
  const TFormPart end{"", "--", "", ""};
  struct TCase {
    const char* What;
    std::vector<TFormPart> Parts;
    long Status;
    const char* Method = nullptr;
  };
  const TCase cases[] = {
      {"the monitor's form", {max, file, end}, 200},
      {"no unnamed part", {max, file}, 400},
      {"a nameless last part", {max, file, {"\x01", "--", "", ""}}, 400},
      {"wrong text in the last part", {max, file, {"", "++", "", ""}}, 400},
      {"parts out of order", {file, max, end}, 400},
      {"no file name", {max, {"userfile", "report\r\n", "", "text/plain"}, end}, 400},
      {"no MAX_FILE_SIZE", {{"userfile", "report\r\n", "r.txt", "text/plain"}, end}, 400},
      {"MAX_FILE_SIZE not a number", {{"MAX_FILE_SIZE", "lots", "", ""}, file, end}, 400},
      {"larger than MAX_FILE_SIZE", {{"MAX_FILE_SIZE", "5", "", ""}, file, end}, 413},
      {"larger than the server takes", {max, {"userfile", std::string(300001, 'a'), "r.txt", "text/plain"}, end}, 413},
      {"not text/plain", {max, {"userfile", "report\r\n", "r.txt", "application/octet-stream"}, end}, 415},
      {"binary dressed as text", {max, {"userfile", std::string("a\0b", 3), "r.txt", "text/plain"}, end}, 415},
      {"not a POST", {max, file, end}, 405, "PUT"},
  };
  size_t accepted = 0;
  for (const TCase& c : cases) {
    EXPECT_EQ(PostForm(Server->Url("/upload.php"), c.Parts, c.Method), c.Status) << c.What;
    if (c.Status == 200) ++accepted;
  }
  EXPECT_EQ(StoredReports(Storage).size(), accepted);
}

TEST_F(ReportServerTest, TheClientsFileNameNeverBecomesThePath) {
  const std::string outside = Scratch.Path() + "/evil.txt";
  for (const char* name : {"../evil.txt", "../../evil.txt", "/tmp/evil.txt", "uploads.log"}) {
    EXPECT_EQ(PostForm(Server->Url("/upload.php"),
                       {{"MAX_FILE_SIZE", "300000", "", ""}, {"userfile", "x\r\n", name, "text/plain"}, {"", "--", "", ""}}),
              200)
        << name;
  }
  EXPECT_FALSE(PathExists(outside));
  const auto reports = StoredReports(Storage);
  ASSERT_EQ(reports.size(), 4u);
  for (const std::string& r : reports) EXPECT_THAT(r, ::testing::MatchesRegex("[0-9]{8}T[0-9]{6}Z-[0-9a-f]{16}\\.txt"));
  EXPECT_EQ(Uploads().size(), 4u);
  EXPECT_THAT(Uploads()[0], HasSubstr(R"("file_name":"../evil.txt")"));
}

TEST(ReportUrl, OnlyHttpAndHttpsUrlsAreTaken) {
  EXPECT_TRUE(IsReportUrl(DefaultReportUrl()));
  EXPECT_THAT(DefaultReportUrl(), ::testing::EndsWith("upload.php"));
  EXPECT_TRUE(IsReportUrl("https://reports.example.net/monitor/upload.php"));
  EXPECT_TRUE(IsReportUrl("http://[::1]:8080/upload.php"));
  for (const char* bad : {"", "upload.php", "ftp://host/upload.php", "file:///tmp/upload.php", "http://", "mailto:a@b"})
    EXPECT_FALSE(IsReportUrl(bad)) << bad;

  TRecordingBoxes boxes;
  TScriptedPump pump;
  TReportSender sender(boxes, pump);
  EXPECT_EQ(sender.ReportUrl(), DefaultReportUrl());
  EXPECT_THROW(sender.SetReportUrl("ftp://host/upload.php"), std::invalid_argument);
  EXPECT_EQ(sender.ReportUrl(), DefaultReportUrl());
}

TEST(ReportHttps, UploadsThroughTls) {
  TScratchDir scratch;
  // The storage directory does not exist yet: the server makes it.
  const std::string storage = scratch.Path() + "/store", logs = scratch.Sub("logs"), temp = scratch.Sub("tmp");
  const std::string certDir = scratch.Sub("cert");
  TPhpServer backend(TestScript("test_router.php"),
                     {{"REPORT_STORAGE_DIR", storage}, {"TEST_LOG_DIR", logs}, {"REPORT_SERVER_SCRIPT", ServerScript()}},
                     scratch.Path() + "/php.log");
  ASSERT_TRUE(backend.Started()) << backend.Log();
  const int tlsPort = FreeLocalPort();
  TChildProcess front({"php", TestScript("tls_front.php"), std::to_string(tlsPort), std::to_string(backend.Port()), certDir},
                      {}, scratch.Path() + "/tls.log");
  ASSERT_TRUE(front.WaitAccepting(tlsPort)) << ReadFileBytes(scratch.Path() + "/tls.log");

  TReportFixture fixture;
  TRecordingBoxes boxes;
  TScriptedPump pump;
  TReportSender sender(boxes, pump);
  sender.SetReportUrl("https://127.0.0.1:" + std::to_string(tlsPort) + "/upload.php");
  sender.SetTempDirectory(temp);
  sender.SetClock(TReportFixture::Clock);

  // Without the certificate trusted, the upload must fail rather than go out unchecked.
  EXPECT_EQ(sender.SendReport(fixture.Histograms(), " ", "5551234"), TReportSendResult::UploadFailed);
  ASSERT_EQ(boxes.Shown.size(), 1u);
  EXPECT_THAT(boxes.Shown[0].Text, HasSubstr("certificate"));

  sender.SetCaFile(certDir + "/cert.pem");
  EXPECT_EQ(sender.SendReport(fixture.Histograms(), " ", "5551234"), TReportSendResult::Sent);
  ASSERT_EQ(boxes.Shown.size(), 2u);
  EXPECT_EQ(boxes.Shown[1].Text, "Report successfully sended.");
  const auto reports = StoredReports(storage);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_THAT(ReadFileBytes(storage + "/" + reports[0]), StartsWith("Report generated at: 07.03.2025 09:05\r\nModem IMSI: 5551234\r\n\r\n"));
  EXPECT_THAT(ReadFileBytes(storage + "/uploads.log"), HasSubstr(R"("file_name":"5551234_07032025_090504.txt")"));
  EXPECT_TRUE(ListDir(temp).empty());
}
