// The dashboard's script (filled in with the dashboard itself).
