// Net's reading of an HTTP answer: every row is read whole and a byte at a time, and a server
// that ends the connection after it (whole exchanges with a misbehaving server's answers:
// tests/qemu/hostile_server.py).
#include <gtest/gtest.h>

#include <string>

#include "Applications/Net/Net.h"

namespace {

const std::string kOk = "HTTP/1.1 200 OK\r\n";

struct Read {
    NetAnswerState State;
    unsigned Status;
    std::string Body;
};

Read ReadAnswer(const std::string& Text, bool Keep, size_t Piece) {
    static NetAnswer Answer;
    static char Body[16];
    NetAnswerStart(&Answer, Keep ? Body : nullptr, sizeof Body);
    for (size_t At = 0; At < Text.size() && Answer.State == NET_ANSWER_MORE; At += Piece) {
        NetAnswerTake(&Answer, Text.data() + At, std::min(Piece, Text.size() - At));
    }
    NetAnswerEnded(&Answer);
    return {Answer.State, Answer.Status, std::string(Body, Keep ? Answer.BodyLength : 0)};
}

TEST(NetAnswerTest, AnswersAreReadByTheRules) {
    const struct {
        std::string Text;
        bool Keep; // a GET's body is wanted
        NetAnswerState State;
        unsigned Status;
        std::string Body;
    } Cases[] = {
        {kOk + "content-LENGTH:\t 4 \r\n\r\n14 bytes body!", true, NET_ANSWER_DONE, 200, "14 b"},
        {kOk + "Content-Length: 0\r\n\r\n", true, NET_ANSWER_DONE, 200, ""},
        {kOk + "Content-Length: 16\r\n\r\n" + std::string(16, 'x'), true, NET_ANSWER_DONE, 200,
         std::string(16, 'x')},
        {kOk + "Content-Length: 4\r\nContent-Length: 4\r\n\r\nabcd", true, NET_ANSWER_DONE, 200,
         "abcd"},
        {kOk + "Content-Length: 17\r\n\r\n", true, NET_ANSWER_TOO_LARGE, 200, ""},
        {kOk + "Content-Length: 10\r\n\r\nabcd", true, NET_ANSWER_BAD, 200, "abcd"},
        {kOk + "Transfer-Encoding: chunked\r\nContent-Length: 4\r\n\r\n4\r\nabcd\r\n0\r\n\r\n",
         true, NET_ANSWER_BAD, 200, ""},
        {kOk + "Content-Length: -1\r\n\r\n", true, NET_ANSWER_BAD, 200, ""},
        {kOk + "Content-Length:\r\n\r\n", true, NET_ANSWER_BAD, 200, ""},
        {kOk + "Content-Length: 4\r\nContent-Length: 5\r\n\r\nabcde", true, NET_ANSWER_BAD, 200,
         ""},
        // Only a kept body needs a length; other answers end with their head.
        {kOk + "Transfer-Encoding: chunked\r\n\r\n", false, NET_ANSWER_DONE, 200, ""},
        {"HTTP/1.1 404 Not Found\r\nContent-Length: abc\r\n\r\n", true, NET_ANSWER_DONE, 404, ""},
        {"HTTP/1.0 201\r\n\r\n", false, NET_ANSWER_DONE, 201, ""},
        // Heads that are no HTTP/1.x answer, or break off.
        {"HTTP/2 200 OK\r\n\r\n", true, NET_ANSWER_BAD, 0, ""},
        {"HTTP/1.1 20 OK\r\nContent-Length: 0\r\n\r\n", true, NET_ANSWER_BAD, 0, ""},
        {"SSH-2.0-OpenSSH_9.2\r\n", true, NET_ANSWER_BAD, 0, ""},
        {kOk + "Content-Length 1\r\n\r\nx", true, NET_ANSWER_BAD, 200, ""},
        {kOk + "Bad Name: x\r\nContent-Length: 1\r\n\r\nx", true, NET_ANSWER_BAD, 200, ""},
        {kOk + "Content-Length: 1\r\n", true, NET_ANSWER_BAD, 0, ""},
        {kOk + "X: " + std::string(NET_HEAD_MAX, 'a') + "\r\n\r\n", false, NET_ANSWER_BAD, 0, ""},
        {"", true, NET_ANSWER_BAD, 0, ""},
    };
    for (const auto& Case : Cases) {
        for (size_t Piece : {Case.Text.size() + 1, (size_t)1}) {
            const Read Got = ReadAnswer(Case.Text, Case.Keep, Piece);
            EXPECT_EQ(Got.State, Case.State) << Case.Text << " in pieces of " << Piece;
            EXPECT_EQ(Got.Status, Case.Status) << Case.Text << " in pieces of " << Piece;
            EXPECT_EQ(Got.Body, Case.Body) << Case.Text << " in pieces of " << Piece;
        }
    }
}

// Over https the firmware reads the answer: what it hands over is taken only with a status code
// of 100-599 and a body within the buffer; the exchange's own failures pass through.
TEST(NetAnswerTest, HttpsAnswersAreChecked) {
    const struct {
        PlatformNetStatus Exchanged;
        unsigned HttpStatus;
        size_t ResponseLength;
        bool Keep;
        PlatformNetStatus Status;
        NetAnswerState State;
    } Cases[] = {
        {PLATFORM_NET_OK, 200, 16, true, PLATFORM_NET_OK, NET_ANSWER_DONE},
        {PLATFORM_NET_OK, 404, 0, true, PLATFORM_NET_OK, NET_ANSWER_DONE},
        {PLATFORM_NET_OK, 599, 0, false, PLATFORM_NET_OK, NET_ANSWER_DONE},
        {PLATFORM_NET_OK, 0, 0, false, PLATFORM_NET_OK, NET_ANSWER_BAD},
        {PLATFORM_NET_OK, 99, 0, true, PLATFORM_NET_OK, NET_ANSWER_BAD},
        {PLATFORM_NET_OK, 600, 0, true, PLATFORM_NET_OK, NET_ANSWER_BAD},
        {PLATFORM_NET_OK, 200, 17, true, PLATFORM_NET_OK, NET_ANSWER_BAD},
        {PLATFORM_NET_OK, 201, 1, false, PLATFORM_NET_OK, NET_ANSWER_BAD},
        {PLATFORM_NET_TOO_LARGE, 200, 0, true, PLATFORM_NET_OK, NET_ANSWER_TOO_LARGE},
        {PLATFORM_NET_BAD_ANSWER, 200, 0, true, PLATFORM_NET_OK, NET_ANSWER_BAD},
        {PLATFORM_NET_TLS_FAILED, 0, 0, true, PLATFORM_NET_TLS_FAILED, NET_ANSWER_MORE},
        {PLATFORM_NET_TIMEOUT, 0, 0, true, PLATFORM_NET_TIMEOUT, NET_ANSWER_MORE},
    };
    for (const auto& Case : Cases) {
        NetAnswer Answer;
        char Body[16];
        NetAnswerStart(&Answer, Case.Keep ? Body : nullptr, sizeof Body);
        PlatformHttpExchange Exchange = {};
        Exchange.HttpStatus = Case.HttpStatus;
        Exchange.ResponseLength = Case.ResponseLength;
        const auto Row = ::testing::Message()
                         << Case.Exchanged << " " << Case.HttpStatus << " " << Case.ResponseLength;
        EXPECT_EQ(NetHttpsAnswer(Case.Exchanged, &Exchange, &Answer), Case.Status) << Row;
        EXPECT_EQ(Answer.State, Case.State) << Row;
        if (Answer.State == NET_ANSWER_DONE) {
            EXPECT_EQ(Answer.Status, Case.HttpStatus) << Row;
            EXPECT_EQ(Answer.BodyLength, Case.ResponseLength) << Row;
        }
    }
}

} // namespace
