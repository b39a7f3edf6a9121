/* SPDX-License-Identifier: ISC */
[[noreturn]] void stop();
