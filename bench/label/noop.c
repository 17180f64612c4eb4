// SPDX-License-Identifier: GPL-2.0-or-later
/* The smallest program there is: what starting any process costs. */
int main(void) { return 0; }
