"""Merge the points of crop rows split across image tiles, removing their overlap."""

from _native import merge_points_removing_overlap

__all__ = ["merge_points_removing_overlap"]
