window.appVersion = 'p1';
