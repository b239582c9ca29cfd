"""Zandrel: particles push boulders onto landmarks, as a PettingZoo environment."""
