// Option scanner and numeric conversion of option arguments.
#include "getopt.h"
#include "treemir.h"

#include <gtest/gtest.h>
#include <climits>
#include <string>
#include <vector>

namespace {

// Scans one command line to the end and spells every call as
// "result[optarg]@optind" (optarg shown only when set, -1 as "end").
std::string scan_trace(std::vector<const char *> args, int opterr)
{
	args.insert(args.begin(), "prog");
	std::vector<char *> argv;
	for (const char *a : args)
		argv.push_back(const_cast<char *>(a));
	argv.push_back(nullptr);
	treemir::reset_getopt();
	treemir::opterr = opterr;
	std::string trace;
	for (int calls = 0; calls < 10; calls++) {
		int c = treemir::getopt((int)args.size(), argv.data(), "qhv:x:X:b:m:re:");
		trace += trace.empty() ? "" : " ";
		trace += c == -1 ? std::string("end") : std::string(1, (char)c);
		if (c != -1 && treemir::optarg)
			trace += std::string("[") + treemir::optarg + "]";
		trace += "@" + std::to_string(treemir::optind);
		if (c == -1)
			break;
	}
	return trace;
}

} // namespace

TEST(GetoptScan, CommandLinesGiveTheirCallSequenceAndDiagnostics)
{
	const std::string illegal = "prog : illegal option --  ", missing = "prog : option requires an argument --  ";
	struct Case { std::vector<const char *> args; const char *trace; std::string err; } cases[] = {
		{{}, "end@1", ""}, {{"-qr", "x"}, "q@1 r@2 end@2", ""},
		{{"-m1"}, "m[1]@2 end@2", ""}, {{"-m", "1", "s"}, "m[1]@3 end@3", ""},
		{{"-qm1"}, "q@1 m[1]@2 end@2", ""}, {{"-mq"}, "m[q]@2 end@2", ""},
		{{"-m", "-q"}, "m[-q]@3 end@3", ""},
		{{"-m1", "-q"}, "m[1]@2 q@3 end@3", ""}, // -q clears optarg
		{{"-v", ""}, "v[]@3 end@3", ""},         // an empty argument is still an argument
		{{"-q", "-m"}, "q@2 ?@3 end@3", missing + "m\n"}, {{"-qe"}, "q@1 ?@2 end@2", missing + "e\n"},
		{{"-z", "-q"}, "?@2 q@3 end@3", illegal + "z\n"}, {{"-zq"}, "?@1 q@2 end@2", illegal + "z\n"},
		{{"-Q"}, "?@2 end@2", illegal + "Q\n"}, {{"-:"}, "?@2 end@2", illegal + ":\n"},
		{{"-q-"}, "q@1 ?@2 end@2", illegal + "-\n"},
		{{"-", "-q"}, "end@1", ""}, {{"--", "-q"}, "end@2", ""}, {{"-q", "--"}, "q@2 end@3", ""},
		{{"src", "-q", "dst"}, "end@1", ""}, {{"", "-q"}, "end@1", ""},
	};
	for (const Case &c : cases) {
		testing::internal::CaptureStderr();
		std::string trace = scan_trace(c.args, 1);
		EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err) << c.trace;
		EXPECT_EQ(trace, c.trace);
		testing::internal::CaptureStderr();
		EXPECT_EQ(scan_trace(c.args, 0), c.trace) << "opterr 0";
		EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << c.trace;
	}
	treemir::reset_getopt();
}

TEST(ToInt, FollowsAtoiAndSaturates)
{
	struct Case { const char *text; int32_t want; } cases[] = {
		{"", 0}, {"abc", 0}, {"12", 12}, {"0012", 12}, {"+5", 5}, {"-7x", -7},
		{" \t\n\v\f\r3", 3}, {"1 2", 1}, {"- 5", 0}, {"--5", 0}, {"0x10", 0},
		{"2147483647", INT32_MAX}, {"2147483648", INT32_MAX}, {"99999999999", INT32_MAX},
		{"-2147483648", INT32_MIN}, {"-2147483649", INT32_MIN},
		{"-99999999999999999999999", INT32_MIN},
	};
	for (const Case &c : cases)
		EXPECT_EQ(to_int(c.text), c.want) << "\"" << c.text << "\"";
}
