// The packaged copy; the platform server's copy says where it came from.
window.appValue = 'packaged';
