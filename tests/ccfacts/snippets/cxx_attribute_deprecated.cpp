/* SPDX-License-Identifier: ISC */
[[deprecated]] void old_call();
