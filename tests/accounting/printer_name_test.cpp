// SPDX-License-Identifier: Apache-2.0
// The printer's name for the log: the spooler's name, or for a Client Side Rendering
// printer the server and the name the provider keeps in the registry.
#include "tests/accounting/accounting_fixture.h"

#include "accounting/printer_name.h"

namespace sgtest {
namespace {

class PrinterNameTest : public AccountingTest {
 protected:
  // Resolves into a 256-unit output followed by a guard, both preset with 0xCCCC.
  int Resolve(const char16_t* server, const char16_t* name) {
    PRINTER_INFO_2W info;
    std::memset(&info, 0, sizeof(info));
    serverText_ = server != nullptr ? std::u16string(server) : std::u16string();
    nameText_ = name != nullptr ? std::u16string(name) : std::u16string();
    info.pServerName = server != nullptr ? serverText_.data() : nullptr;
    info.pPrinterName = name != nullptr ? nameText_.data() : nullptr;
    output_.assign(256 + 8, 0xCCCC);
    int result = ResolveLogPrinterName(&info, output_.data(), 256);
    for (size_t i = 256; i < output_.size(); ++i) EXPECT_EQ(output_[i], 0xCCCC) << "overflow";
    return result;
  }
  std::u16string Output() const { return std::u16string(output_.data()); }
  bool OutputAllZero() const {
    for (size_t i = 0; i < 256; ++i) {
      if (output_[i] != 0) return false;
    }
    return true;
  }
  static void StoreCsrName(const std::u16string& server, const std::u16string& printer,
                           const Bytes& value, DWORD type = REG_SZ) {
    HostRegistrySetValue(kCsrServers + server + u"\\Printers\\" + printer + u"\\DsSpooler",
                         u"printerName", type, value);
  }

  std::u16string serverText_, nameText_;
  std::vector<WCHAR> output_;
};

TEST_F(PrinterNameTest, NamesThatAreNotClientSideRenderingAreCopied) {
  StoreCsrName(u"srv", u"Plotter", Utf16Bytes(u"must not be read"));
  EXPECT_EQ(Resolve(nullptr, u"Wide Format"), 1);  // local
  EXPECT_EQ(Output(), u"Wide Format");
  EXPECT_EQ(Resolve(u"\\\\srv", u"\\\\srv\\Plotter"), 1);  // plain connection
  EXPECT_EQ(Output(), u"\\\\srv\\Plotter");
  EXPECT_EQ(Resolve(u"\\\\csr|srv", u"\\\\csr|srv\\Plotter"), 1);  // case-sensitive prefix
  EXPECT_EQ(Output(), u"\\\\csr|srv\\Plotter");
  EXPECT_EQ(Resolve(nullptr, u"\\\\CSR|srv\\Plotter"), 1);  // local, whatever its name
  EXPECT_EQ(Output(), u"\\\\CSR|srv\\Plotter");

  HostSetPlatformVersion(5);
  EXPECT_EQ(Resolve(u"\\\\CSR|srv", u"\\\\CSR|srv\\Plotter"), 1);
  EXPECT_EQ(Output(), u"\\\\CSR|srv\\Plotter");
  EXPECT_EQ(Resolve(nullptr, u"Wide Format"), 1);
  EXPECT_EQ(Output(), u"Wide Format");
}

TEST_F(PrinterNameTest, ClientSideRenderingPrinterIsNamedFromTheRegistry) {
  StoreCsrName(u"printhost", u"Plotter A0", Utf16Bytes(u"Plotter A0 (Floor 3)"));
  EXPECT_EQ(Resolve(u"\\\\CSR|printhost", u"\\\\CSR|printhost\\Plotter A0"), 1);
  EXPECT_EQ(Output(), u"\\\\printhost\\Plotter A0 (Floor 3)");

  // No key for this printer, and a key without the value: nothing, all zeros.
  EXPECT_EQ(Resolve(u"\\\\CSR|printhost", u"\\\\CSR|printhost\\Other"), 0);
  EXPECT_TRUE(OutputAllZero());
  HostRegistrySetValue(kCsrServers + u"printhost\\Printers\\Bare\\DsSpooler", u"location",
                       REG_SZ, Utf16Bytes(u"Floor 2"));
  EXPECT_EQ(Resolve(u"\\\\CSR|printhost", u"\\\\CSR|printhost\\Bare"), 0);
  EXPECT_TRUE(OutputAllZero());

  // The printer part is what follows the last backslash; after a final one, nothing.
  StoreCsrName(u"printhost", u"", Utf16Bytes(u"Nameless"));
  EXPECT_EQ(Resolve(u"\\\\CSR|printhost", u"\\\\CSR|printhost\\"), 1);
  EXPECT_EQ(Output(), u"\\\\printhost\\Nameless");
}

TEST_F(PrinterNameTest, NullArgumentsLeaveTheOutputAlone) {
  output_.assign(256, 0xCCCC);
  EXPECT_EQ(ResolveLogPrinterName(nullptr, output_.data(), 256), 0);
  EXPECT_EQ(output_[0], 0xCCCC);
  PRINTER_INFO_2W info;
  std::memset(&info, 0, sizeof(info));
  EXPECT_EQ(ResolveLogPrinterName(&info, nullptr, 256), 0);
  // A null printer name counts as the empty name.
  EXPECT_EQ(Resolve(nullptr, nullptr), 1);
  EXPECT_EQ(Output(), u"");
}

TEST_F(PrinterNameTest, ServerNameShorterThanThePrefixFailsWithoutRegistryAccess) {
  uint64_t registryCalls = HostCallCount(HostOp::Registry);
  EXPECT_EQ(Resolve(u"\\\\CSR", u"\\\\CSR|\\Plotter"), 0);
  EXPECT_TRUE(OutputAllZero());
  EXPECT_EQ(HostCallCount(HostOp::Registry), registryCalls);
}

TEST_F(PrinterNameTest, KeyPathHoldsAtMost105CharactersOfServerAndPrinter) {
  std::u16string server(60, u's');
  std::u16string printer45(45, u'p');
  StoreCsrName(server, printer45, Utf16Bytes(u"Fits"));
  EXPECT_EQ(Resolve((u"\\\\CSR|" + server).c_str(), (u"\\\\CSR|x\\" + printer45).c_str()), 1);
  EXPECT_EQ(Output(), u"\\\\" + server + u"\\Fits");

  // One character more would need a cut key path, which names another key: refused.
  std::u16string printer46(46, u'p');
  StoreCsrName(server, printer46, Utf16Bytes(u"Too long"));
  uint64_t registryCalls = HostCallCount(HostOp::Registry);
  EXPECT_EQ(Resolve((u"\\\\CSR|" + server).c_str(), (u"\\\\CSR|x\\" + printer46).c_str()), 0);
  EXPECT_TRUE(OutputAllZero());
  EXPECT_EQ(HostCallCount(HostOp::Registry), registryCalls);
}

TEST_F(PrinterNameTest, StoredNameIsBoundedByWhatWasRead) {
  // 224 characters fill all 448 bytes with no terminator.
  StoreCsrName(u"ps", u"Full", Utf16Bytes(std::u16string(224, u'N'), false), REG_BINARY);
  EXPECT_EQ(Resolve(u"\\\\CSR|ps", u"\\\\CSR|ps\\Full"), 1);
  EXPECT_EQ(Output(), u"\\\\ps\\" + std::u16string(224, u'N'));

  // More than 448 bytes cannot be read at all.
  StoreCsrName(u"ps", u"Over", Utf16Bytes(std::u16string(224, u'O')));
  EXPECT_EQ(Resolve(u"\\\\CSR|ps", u"\\\\CSR|ps\\Over"), 0);
}

TEST_F(PrinterNameTest, LongNamesAreCutToTheOutput) {
  std::u16string server(100, u's');
  StoreCsrName(server, u"P", Utf16Bytes(std::u16string(223, u'V')));
  EXPECT_EQ(Resolve((u"\\\\CSR|" + server).c_str(), (u"\\\\CSR|" + server + u"\\P").c_str()), 1);
  std::u16string expected = u"\\\\" + server + u"\\" + std::u16string(223, u'V');
  EXPECT_EQ(Output(), expected.substr(0, 255));

  std::u16string local(300, u'L');
  EXPECT_EQ(Resolve(nullptr, local.c_str()), 1);
  EXPECT_EQ(Output(), local.substr(0, 255));
}

TEST_F(PrinterNameTest, OutOfMemoryGivesNoName) {
  StoreCsrName(u"printhost", u"Plotter", Utf16Bytes(u"Plotter (Floor 3)"));
  for (uint64_t nth : {1u, 2u}) {
    SCOPED_TRACE(nth);
    HostFailNth(HostOp::Alloc, nth, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(Resolve(u"\\\\CSR|printhost", u"\\\\CSR|printhost\\Plotter"), 0);
    HostClearFaults();
    EXPECT_TRUE(OutputAllZero());
  }
}

TEST_F(AccountingTest, ClientSideRenderingPrinterNameReachesTheEntry) {
  HANDLE csr = HostAddPrinter({u"\\\\CSR|printhost", u"\\\\CSR|printhost\\Plotter", u"IP_10.0.0.9"});
  HostAddJob(csr, 11, {u"Site plan.plt", u"carol"});
  HostRegistrySetValue(kCsrServers + u"printhost\\Printers\\Plotter\\DsSpooler", u"printerName",
                       REG_SZ, Utf16Bytes(u"Plotter (Floor 3)"));
  EXPECT_EQ(WriteStandardJobLog(csr, 11, &log_), 1);
  EXPECT_EQ(SlotText(208), "\\\\printhost\\Plotter (Floor 3)");
  EXPECT_EQ(SlotText(224), "IP_10.0.0.9");

  // Without the provider's data the entry still goes, with no printer name.
  logdouble::Reset();
  HostRegistryDeleteKey(kCsrServers + u"printhost");
  EXPECT_EQ(WriteStandardJobLog(csr, 11, &log_), 1);
  EXPECT_EQ(SlotText(208), "");
  EXPECT_EQ(SlotText(232), "Site plan.plt");
}

}  // namespace
}  // namespace sgtest
