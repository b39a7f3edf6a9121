/* SPDX-License-Identifier: ISC */
thread_local int t;
