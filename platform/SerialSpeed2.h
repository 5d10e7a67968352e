#pragma once

// Line rates through the kernel's termios2 record, which takes any rate (BOTHER) where the
// classic termios table stops (14400, 56000, 128000, 256000). Kept apart from <termios.h>:
// <asm/termbits.h> declares the same names differently.
bool SetSpeed2(int fd, unsigned rate);
bool GetSpeed2(int fd, unsigned& rate);
