// Placeholder until the transfer subsystem lands.
#include "transfer/transfer.h"

unsigned char mFramePlainBuffer[FRAME_PLAIN_SIZE];
char mFrameEncodedBuffer[FRAME_ENCODED_SIZE];
int readLineTerminalTimeout(char *, int, int) { return -1; }
int readMessageTimeout(char *, int, int) { return -1; }
int takeHeldInput(char *, int) { return 0; }
void makeByteToHex(unsigned char, char *) {}
int encodeDataFrame(int) { return -1; }
int decodeDataFrame() { return -1; }
int cmdUpload(const char *) { return -1; }
int cmdDownload(const char *) { return -1; }
void receiveDownload(const char *) {}
int waitFIN() { return 0; }
