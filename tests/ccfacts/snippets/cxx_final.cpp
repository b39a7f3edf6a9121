/* SPDX-License-Identifier: ISC */
struct B final {};
