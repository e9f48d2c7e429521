#include "qorToolsLib/ErrorWords.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "platform/LastError.h"

// The numbers the console showed bare, and the words now said after them.
TEST(ErrorWords, NumbersOfTheLayerAreSaidInTheSystemsOwnWords) {
    EXPECT_EQ(ErrorWords(10040), std::strerror(EMSGSIZE));
    EXPECT_EQ(ErrorWords(0xC7270000u + 10040), std::strerror(EMSGSIZE));
    EXPECT_EQ(ErrorWords(10048), std::strerror(EADDRINUSE));
    EXPECT_EQ(ErrorWords(11001), "host not found");
    EXPECT_EQ(ErrorWords(11002), "host not found: the name service did not answer, it may later");
    EXPECT_EQ(ErrorWords(10093), "no socket is open");
    EXPECT_EQ(ErrorWords(plat::kErrInvalidParameter), std::strerror(EINVAL));
    EXPECT_EQ(ErrorWords(plat::kErrDiskFull), std::strerror(ENOSPC));
    EXPECT_EQ(ErrorWords(plat::kErrAccessDenied), std::strerror(EACCES));
    EXPECT_EQ(ErrorWords(0x20000000u + EXDEV), std::strerror(EXDEV));
    // Numbers the layer sets by itself have its own text.
    EXPECT_EQ(ErrorWords(plat::kErrInvalidData), "The data is invalid");
    EXPECT_EQ(ErrorWords(0xC7210005u), "The object is not in a state that allows the operation");
    EXPECT_EQ(ErrorWords(0x7FFF1234u), "no text for this error");
}

// Several system errors share a number: the calling thread's last failure
// says which one it was.
TEST(ErrorWords, TheThreadsLastFailureNamesTheErrorBehindASharedNumber) {
    const uint32_t dwError = plat::SetLastErrorFromErrno(EDQUOT);
    EXPECT_EQ(dwError, plat::kErrDiskFull);
    EXPECT_EQ(ErrorWords(dwError), std::strerror(EDQUOT));
    plat::SetLastSocketErrorFromErrno(EPIPE);
    EXPECT_EQ(ErrorWords(10054), std::strerror(EPIPE));
    plat::SetLastErrorFromErrno(0);
    EXPECT_EQ(ErrorWords(10054), std::strerror(ECONNRESET));
}
